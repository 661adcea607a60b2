// The update page in Debian's Chromium, driven by playwright-core, against the emulated device
// presented as a hidraw node (nuv-pty-hid-device). Run only inside the namespaces that
// run-browser-suite.sh makes; Node's own test runner. Environment: NUV_WEB_DIR (build/web),
// NUV_PTY_DEVICE, NUV_VORNEX_CLI, NUV_WEB_PORT, NUV_SYSFS_DEVICES, NUV_SYSFS_CLASS, and
// NUV_WEB_SCREENSHOT (optional: where to save a picture of the page mid-download).
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { createInterface } from 'node:readline';
import { createRequire } from 'node:module';
import { chromium } from 'playwright-core';

const require = createRequire(import.meta.url);
const env = process.env;
const origin = `http://127.0.0.1:${env.NUV_WEB_PORT}`;
const scratch = mkdtempSync(path.join(os.tmpdir(), 'nuv-web-'));

// --- the page's host: build/web/ as static files --------------------------------------------
const kTypes = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
  '.wasm': 'application/wasm' };
function serve(root) {
  const server = http.createServer((request, response) => {
    const name = path.normalize(decodeURIComponent(new URL(request.url, origin).pathname));
    const file = path.join(root, name.endsWith('/') ? `${name}index.html` : name);
    try {
      const body = readFileSync(file);
      response.writeHead(200, { 'content-type': kTypes[path.extname(file)] ?? 'text/plain' });
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  return new Promise((resolve) => server.listen(Number(env.NUV_WEB_PORT), '127.0.0.1',
    () => resolve(server)));
}

// --- the device: one line per command, one line back ----------------------------------------
class Device {
  constructor() {
    this.child = spawn(env.NUV_PTY_DEVICE, [env.NUV_SYSFS_DEVICES, env.NUV_SYSFS_CLASS],
      { stdio: ['pipe', 'pipe', 'inherit'] });
    this.waiting = [];
    createInterface({ input: this.child.stdout }).on('line', (line) => {
      if (!line.startsWith('event ')) this.waiting.shift()?.(line);
    });
  }
  async do(command, { mayFail = false } = {}) {
    const answer = new Promise((resolve) => this.waiting.push(resolve));
    this.child.stdin.write(`${command}\n`);
    const line = await answer;
    assert.ok(mayFail || !line.startsWith('error'), `${command}: ${line}`);
    return line;
  }
}

// --- images ------------------------------------------------------------------------------------
function makeImage({ size = 0x10000, header = 'V1.01 web test', seed = 1 } = {}) {
  const bytes = Buffer.alloc(size);
  for (let i = 0; i < size; ++i) bytes[i] = (i * 31 + seed * 7 + (i >> 8)) & 0xff;
  bytes.write(header.padEnd(16, '\0').slice(0, size), 0, 'latin1');
  const file = path.join(scratch, `image-${size}-${header.slice(0, 5)}-${seed}.nuv`);
  writeFileSync(file, bytes);
  return { name: path.basename(file), file, buffer: bytes };
}

let server;
let browser;
let device;
before(async () => {
  server = await serve(env.NUV_WEB_DIR);
  device = new Device();
  browser = await chromium.launch({
    executablePath: env.NUV_CHROMIUM ?? '/usr/lib/chromium/chromium',
    args: ['--no-sandbox', '--disable-gpu'],
  });
});
after(async () => {
  await browser?.close();
  device?.child.stdin.end('quit\n');
  server?.close();
});

// A fresh device (memory, faults, version) plugged in, and the page opened on it.
async function openPage({ version = '1.01', faults = [], flow = 'strict', plug = true,
  bypassCSP = false } = {}) {
  await device.do('unplug', { mayFail: true });
  await device.do('reset');
  if (version !== '1.01') await device.do(`version ${version}`);
  for (const fault of faults) await device.do(`fault ${fault}`);
  if (plug) await device.do('plug');
  const context = await browser.newContext({ acceptDownloads: true, bypassCSP });
  const page = await context.newPage();
  page.on('pageerror', (error) => assert.fail(`page error: ${error.message}`));
  await page.goto(`${origin}/index.html`);
  await page.waitForSelector('body[data-ready]');
  if (plug) await waitForOutcome(page, 'completed');
  if (flow === 'echo') {
    await page.getByLabel('Echo (QuenlorHID)', { exact: false }).check();
    await page.getByLabel('Stall limit of the echo flow, in seconds').fill('1');
  }
  return page;
}

async function closePage(page) {
  await page.context().close();
  await device.do('unplug', { mayFail: true });
}

async function waitForOutcome(page, outcome, timeout = 90000) {
  await page.waitForSelector(`[role=status][data-outcome="${outcome}"]`, { timeout });
}

// Clears the last outcome, chooses the image and runs the update through its confirmation,
// with the keyboard alone (the confirmation's focus starts on Cancel).
async function update(page, image) {
  await page.getByLabel('Choose image').setInputFiles(image);
  await page.evaluate(() => { document.querySelector('[role=status]').dataset.outcome = ''; });
  await page.getByRole('button', { name: 'Update' }).focus();
  await page.keyboard.press('Enter');
  await page.getByRole('dialog').waitFor();
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Cancel');
  await page.keyboard.press('Shift+Tab');
  await page.keyboard.press('Enter');
}

async function endedWith(page) {
  await page.waitForSelector('[role=status]:not([data-outcome=""])', { timeout: 90000 });
  return page.getByRole('status').getAttribute('data-outcome');
}

function cli(args) {
  return new Promise((resolve) => {
    execFile(env.NUV_VORNEX_CLI, [...args, '--json'], (error, stdout) => {
      const lines = stdout.trim().split('\n').map((line) => JSON.parse(line));
      resolve({ code: error?.code ?? 0, result: lines.at(-1) });
    });
  });
}

test('connecting reads the device\'s version; the page paints fast', async (t) => {
  const page = await openPage();
  assert.equal(await page.locator('#device-version').textContent(), '1.01');
  assert.match(await page.locator('#device-name').textContent(), /Nuv update device/);
  const paint = await page.evaluate(() =>
    performance.getEntriesByName('first-contentful-paint')[0]?.startTime);
  t.diagnostic(`first contentful paint: ${Math.round(paint)} ms`);
  await page.getByRole('button', { name: 'Read version' }).click();
  await waitForOutcome(page, 'completed');
  await closePage(page);
});

test('a whole download writes the image byte for byte', async () => {
  const page = await openPage();
  const image = makeImage({ seed: 2 });
  await update(page, image);
  if (env.NUV_WEB_SCREENSHOT) {
    await page.waitForFunction(() =>
      Number(document.querySelector('[role=progressbar]').getAttribute('aria-valuenow')) >= 40);
    await page.setViewportSize({ width: 760, height: 1300 });
    await page.screenshot({ path: env.NUV_WEB_SCREENSHOT, fullPage: false });
  }
  assert.equal(await endedWith(page), 'completed');
  assert.equal(await page.getByRole('progressbar').getAttribute('aria-valuenow'), '100');
  assert.equal(await device.do(`compare ${image.file}`), 'same');
  await closePage(page);
});

test('refused images and devices: nothing is erased', async (t) => {
  const cases = [
    { name: 'size', image: makeImage({ size: 1000 }), outcome: 'image_refused', sent: false },
    { name: 'version text', image: makeImage({ header: 'V2.00' }), outcome: 'image_refused',
      sent: false },
    { name: 'device version', image: makeImage(), version: '2.00',
      outcome: 'device_version_refused', sent: true },
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const page = await openPage({ version: c.version });
      if (!c.sent) {
        await page.getByLabel('Choose image').setInputFiles(c.image);
        await waitForOutcome(page, c.outcome);
        assert.ok(await page.getByRole('button', { name: 'Update' }).isDisabled());
        assert.match(await page.locator('#image-verdict').textContent(), /refused/);
      } else {
        await update(page, c.image);
        assert.equal(await endedWith(page), c.outcome);
        assert.match(await page.getByRole('status').textContent(), /Nothing was erased/);
      }
      await closePage(page);
    });
  }
});

test('a device fault ends each flow as it ends vornex-cli\'s', async (t) => {
  const image = makeImage({ seed: 3 });
  const cases = [
    { flow: 'strict', fault: 'code-zero@format' },
    { flow: 'strict', fault: 'wrong-code@0x100' },
    { flow: 'strict', fault: 'unplug@0x200' },
    { flow: 'echo', fault: 'wrong-data@0x40' },
    { flow: 'echo', fault: 'no-reply@format' },
  ];
  for (const c of cases) {
    await t.test(`${c.flow} ${c.fault}`, async () => {
      const native = await cli(['download', image.file, '--sim', '--flow', c.flow,
        '--sim-fault', c.fault, ...(c.flow === 'echo' ? ['--stall-timeout', '1'] : [])]);
      const page = await openPage({ faults: [c.fault], flow: c.flow });
      await update(page, image);
      assert.equal(await endedWith(page), native.result.outcome);
      assert.notEqual(await page.locator('#outcome-advice').textContent(), '');
      await closePage(page);
    });
  }
});

test('Stop ends a download at once and says what the device holds', async () => {
  const page = await openPage();
  await update(page, makeImage());
  await page.waitForFunction(() =>
    Number(document.querySelector('[role=progressbar]').getAttribute('aria-valuenow')) >= 2);
  await page.getByRole('button', { name: 'Stop' }).focus();
  await page.keyboard.press('Enter');
  assert.equal(await endedWith(page), 'cancelled');
  assert.match(await page.locator('#outcome-advice').textContent(), /complete download/);
  await closePage(page);
});

test('unplugged while writing, plugged again, then a download that succeeds', async () => {
  const page = await openPage();
  const image = makeImage({ seed: 4 });
  await update(page, image);
  await page.waitForFunction(() =>
    Number(document.querySelector('[role=progressbar]').getAttribute('aria-valuenow')) >= 3);
  await device.do('unplug');
  assert.equal(await endedWith(page), 'device_gone');
  assert.equal(await page.locator('#device-name').textContent(), 'none connected');
  await page.evaluate(() => { document.querySelector('[role=status]').dataset.outcome = ''; });
  await device.do('plug');
  await waitForOutcome(page, 'completed');
  await update(page, image);
  assert.equal(await endedWith(page), 'completed');
  assert.equal(await device.do(`compare ${image.file}`), 'same');
  await closePage(page);
});

test('the saved log replays in vornex-cli with the same outcome', async () => {
  const page = await openPage({ faults: ['wrong-code@0x100'] });
  const image = makeImage();
  await update(page, image);
  assert.equal(await endedWith(page), 'data_error');
  const [download] = await Promise.all([page.waitForEvent('download'),
    page.getByRole('button', { name: 'Save log' }).click()]);
  const record = path.join(scratch, 'session.jsonl');
  await download.saveAs(record);
  const replay = await cli(['download', image.file, '--sim', '--sim-replay', record]);
  const native = await cli(['download', image.file, '--sim', '--sim-fault', 'wrong-code@0x100']);
  assert.equal(replay.result.outcome, 'data_error');
  assert.equal(replay.code, native.code);
  await closePage(page);
});

test('axe finds no accessibility violations, wide or narrow', async () => {
  // The page's policy forbids injected scripts; axe is one.
  const page = await openPage({ bypassCSP: true });
  await page.getByLabel('Choose image').setInputFiles(makeImage({ size: 10 }));
  await page.addScriptTag({ path: require.resolve('axe-core/axe.min.js') });
  for (const width of [1000, 360]) {
    await page.setViewportSize({ width, height: 800 });
    const result = await page.evaluate(() => window.axe.run());
    assert.deepEqual(result.violations.map((v) => `${v.id}: ${v.help}`), [], `width ${width}`);
  }
  await closePage(page);
});

test('without WebHID the page says so and points to the native programs', async () => {
  const context = await browser.newContext();
  await context.addInitScript(() => { delete Navigator.prototype.hid; });
  const page = await context.newPage();
  await page.goto(`${origin}/index.html`);
  await page.waitForSelector('body[data-ready]');
  assert.ok(await page.getByRole('alert').isVisible());
  assert.ok(await page.getByRole('link', { name: 'one of the native programs' }).isVisible());
  assert.ok(await page.getByRole('button', { name: 'Connect' }).isDisabled());
  await context.close();
});
