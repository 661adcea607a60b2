// The WebAssembly engine under Node: the page's runner (web/runner.js) drives a whole strict
// download against a tiny device written here, and the image checks and the session record
// come from the engine. Run by CTest with NUV_WEB_ENGINE (engine-node.cjs) and NUV_WEB_SOURCE
// (web/) set; Node's own test runner.
import assert from 'node:assert/strict';
import { readdirSync, readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { gzipSync } from 'node:zlib';

const require = createRequire(import.meta.url);
const source = process.env.NUV_WEB_SOURCE;
const { EngineLibrary, FlowKind, Task } =
  await import(pathToFileURL(path.join(source, 'engine-api.js')));
const { FlowRun, SessionRecorder } = await import(pathToFileURL(path.join(source, 'runner.js')));
// The wasm file is handed over: Emscripten's glue would fetch() it, and Node's fetch takes
// no file paths.
const enginePath = process.env.NUV_WEB_ENGINE;
const library = new EngineLibrary(await require(enginePath)({
  wasmBinary: readFileSync(enginePath.replace(/\.cjs$/, '.wasm')),
}));

// An image the strict flow accepts: 65,536 bytes that begin with the program's version text.
function image({ size = 0x10000, header = 'V1.01' } = {}) {
  const bytes = new Uint8Array(size);
  for (let i = 0; i < size; ++i) bytes[i] = (i * 7) & 0xff;
  bytes.set(new TextEncoder().encode(header).subarray(0, size));
  return bytes;
}

// Answers every command by echoing its first three bytes, the version query with `version`;
// `onCommand` may instead return 'silent' (no reply), 'gone' (unplug) or 'fail' (the send
// fails) or 'hang' (the send never settles).
function tinyDevice({ version = '1.01', onCommand = () => 'answer' } = {}) {
  const device = { commands: [], run: null };
  device.link = {
    send(bytes) {
      device.commands.push(bytes);
      const what = onCommand(bytes, device.commands.length);
      if (what === 'gone') setImmediate(() => device.run.gone());
      if (what === 'fail') return Promise.reject(new Error('the device refused the report'));
      if (what === 'hang') return new Promise(() => {});
      if (what === 'answer') {
        const reply = new Uint8Array(8);
        reply.set(bytes.subarray(0, 3));
        if (bytes[0] === 0x1c) reply.set(new TextEncoder().encode(version), 3);
        setImmediate(() => device.run.report(reply));
      }
      return Promise.resolve();
    },
  };
  return device;
}

function run(device, flow, task, bytes, sendTimeoutMs = 2000) {
  let clock = 0;
  const now = () => (clock += 0.01);
  const recorder = new SessionRecorder(library, now);
  const progress = [];
  device.run = new FlowRun(library.createEngine(flow, task), device.link,
    { now, recorder, sendTimeoutMs, observer: { progress: (p) => progress.push(p) } });
  return device.run.start(bytes).then((outcome) => ({ outcome, progress, recorder }));
}

test('a whole strict download writes every address once, in order, and is recorded', async () => {
  const device = tinyDevice();
  const { outcome, progress, recorder } = await run(device, FlowKind.strict, Task.download,
    image());
  assert.equal(outcome.outcome, 'completed');
  assert.equal(outcome.deviceState, 'burnt');
  const writes = device.commands.filter((c) => c[0] === 0x18).map((c) => c[1] | (c[2] << 8));
  assert.equal(writes.length, 16128);
  writes.forEach((address, i) => assert.equal(address, i * 4));
  assert.deepEqual(device.commands.map((c) => c[0]).filter((c) => c !== 0x18),
    [0x10, 0x1c, 0x11, 0x12]);
  assert.equal(progress.at(-1).done, progress.at(-1).total);
  const lines = recorder.text().trim().split('\n').map((line) => JSON.parse(line));
  assert.deepEqual(lines[0], { record: 'nuv-update-session', version: 1 });
  assert.equal(lines.length, 1 + 2 * device.commands.length);
  assert.equal(lines[1].event, 'sent');
  assert.equal(lines[1].report.slice(0, 4), '0010');
});

test('refusals and endings come from the engine, with their advice', async (t) => {
  const cases = [
    { name: 'short image', flow: FlowKind.strict, bytes: image({ size: 1000 }),
      outcome: 'image_refused', reason: 'size', sent: 0 },
    { name: 'other version text', flow: FlowKind.strict, bytes: image({ header: 'V2.00' }),
      outcome: 'image_refused', reason: 'version', sent: 0 },
    { name: 'device version', flow: FlowKind.strict, bytes: image(), version: '2.00',
      outcome: 'device_version_refused', sent: 2 },
    { name: 'unplug at the erase', flow: FlowKind.strict, bytes: image(),
      onCommand: (c) => (c[0] === 0x11 ? 'gone' : 'answer'), outcome: 'device_gone', sent: 3,
      state: 'erased' },
    { name: 'echo flow, unplug at the first link', flow: FlowKind.echo, bytes: image(),
      onCommand: () => 'gone', outcome: 'device_gone', sent: 1 },
    { name: 'a report that cannot be sent', flow: FlowKind.strict, bytes: image(),
      onCommand: (c) => (c[0] === 0x11 ? 'fail' : 'answer'), outcome: 'write_failed', sent: 3,
      state: 'untouched' },
    { name: 'a report that is never sent', flow: FlowKind.strict, bytes: image(),
      onCommand: (c) => (c[0] === 0x11 ? 'hang' : 'answer'), outcome: 'write_failed', sent: 3,
      state: 'untouched', sendTimeoutMs: 50 },
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const device = tinyDevice(c);
      const { outcome } = await run(device, c.flow, Task.download, c.bytes, c.sendTimeoutMs);
      assert.equal(outcome.outcome, c.outcome);
      assert.equal(device.commands.length, c.sent);
      if (c.reason) assert.equal(outcome.reason, c.reason);
      if (c.state) assert.equal(outcome.deviceState, c.state);
      assert.notEqual(outcome.advice, '');
    });
  }
});

test('the image check and the page\'s own outcomes come from the engine', () => {
  const good = library.checkImage(image());
  assert.equal(good.header.slice(0, 5), 'V1.01');
  assert.deepEqual([good.version, good.programVersion], ['1.01', '1.01']);
  assert.equal(library.checkImage(image({ header: 'V2.00 other' })).version, '2.00');
  assert.ok(good.sizeAccepted && good.versionAccepted && !good.refusal);
  const small = library.checkImage(image({ size: 10 }));
  assert.equal(small.refusal.reason, 'size');
  assert.equal(library.checkImage(image({ header: 'X' })).refusal.reason, 'version');
  assert.equal(library.noDeviceOutcome().outcome, 'no_device');
  assert.match(library.fileErrorOutcome().advice, /could not be read/);
});

test('the built page stays under 300 KB compressed', { skip: !process.env.NUV_WEB_DIR }, () => {
  const dir = process.env.NUV_WEB_DIR;
  const total = readdirSync(dir).reduce((sum, name) =>
    sum + gzipSync(readFileSync(path.join(dir, name)), { level: 9 }).length, 0);
  assert.ok(total < 300 * 1024, `${total} bytes`);
});
