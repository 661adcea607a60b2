// The update page's whole strict download against vornex-cli's, on the same emulated device
// answering every command after 1 ms: the page in Debian's Chromium over WebHID (the device
// behind nuv-pty-hid-device, as in the browser suite), the CLI with
// `vornex-cli download IMAGE --sim --sim-latency 1`. Each is timed RUNS times, alternating so
// that both see the same machine; it prints every time, both medians and their ratio. The
// page's target is at most 1.1 times the CLI's. For scale it also times the floor under the
// page: bare sendReport and input report round trips in the same browser, with no engine,
// scaled to a download's exchanges; and, to tell the browser from the device route, the same
// round trips written and read straight on the device's node from this process. Run by hand,
// never by the tests:
//
//   bash tests/web/run-browser-suite.sh build bench/web_download.mjs
//
// Environment: run-browser-suite.sh sets what the suite's harness needs; NUV_BENCH_RUNS
// (default 5). The page's time runs from "Erase and update" to the status telling the outcome,
// in the page's own clock; the CLI's is the process's whole life.
import { spawn } from 'node:child_process';
import { closeSync, constants, openSync, readFileSync, readSync, writeSync } from 'node:fs';
import { Device, launchBrowser, makeImage, origin, serve, waitForOutcome } from
  '../tests/web/harness.mjs';

const kRuns = Number(process.env.NUV_BENCH_RUNS ?? 5);
const kLatencyMs = 1;
const kExchanges = 16132;  // link, version, format, 16,128 writes, burn

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

function cliSeconds(image) {
  return new Promise((resolve, reject) => {
    const began = process.hrtime.bigint();
    const child = spawn(process.env.NUV_VORNEX_CLI,
      ['download', image.file, '--sim', '--sim-latency', String(kLatencyMs)],
      { stdio: ['ignore', 'ignore', 'inherit'] });
    child.on('exit', (code) => {
      const seconds = Number(process.hrtime.bigint() - began) / 1e9;
      if (code === 0) resolve(seconds);
      else reject(new Error(`vornex-cli download ended with exit code ${code}`));
    });
  });
}

async function pageSeconds(browser, device, image) {
  await device.do('unplug', { mayFail: true });
  await device.do('reset');
  await device.do(`latency ${kLatencyMs}`);
  await device.do('plug');
  const context = await browser.newContext();
  try {
    const page = await context.newPage();
    await page.goto(`${origin}/index.html`);
    await waitForOutcome(page, 'completed');  // the version read when the device was granted
    await page.getByLabel('Choose image').setInputFiles(image.file);
    await page.getByRole('button', { name: 'Update' }).click();
    // The clock starts as the confirmation is pressed and stops when the status changes.
    const finished = page.evaluate(() => new Promise((resolve) => {
      const status = document.querySelector('[role=status]');
      let began = 0;
      document.querySelector('#confirm button[value=update]').addEventListener('click',
        () => { began = performance.now(); status.dataset.outcome = ''; }, { capture: true });
      new MutationObserver(() => {
        if (began && status.dataset.outcome)
          resolve({ outcome: status.dataset.outcome, ms: performance.now() - began });
      }).observe(status, { attributes: true, attributeFilter: ['data-outcome'] });
    }));
    await page.getByRole('button', { name: 'Erase and update' }).click();
    const { outcome, ms } = await finished;
    if (outcome !== 'completed') throw new Error(`the page's download ended: ${outcome}`);
    const same = await device.do(`compare ${image.file}`);
    if (same !== 'same') throw new Error(`the device does not hold the image: ${same}`);
    // The floor: Link commands and their replies, one at a time, straight through WebHID.
    const floorUs = await page.evaluate(async (count) => {
      const [hid] = await navigator.hid.getDevices();
      let replied;
      const listener = () => replied();
      hid.addEventListener('inputreport', listener);
      const link = Uint8Array.of(0x10, 0, 0, 0, 0, 0, 0, 0x10);
      const began = performance.now();
      for (let i = 0; i < count; ++i) {
        const reply = new Promise((resolve) => { replied = resolve; });
        hid.sendReport(0, link);
        await reply;
      }
      hid.removeEventListener('inputreport', listener);
      return ((performance.now() - began) * 1000) / count;
    }, 2000);
    return { page: ms / 1000, floor: (floorUs * kExchanges) / 1e6 };
  } finally {
    await context.close();
  }
}

// Link commands and their replies straight on the device's node (the pty behind it), one at a
// time, with blocking reads, scaled to a download's exchanges: what a native program pays for
// the route. Run while the browser has the node closed.
function nodeSeconds(count = 2000) {
  const uevent = readFileSync(`${process.env.NUV_SYSFS_CLASS}/hidraw0/uevent`, 'utf8');
  const fd = openSync(`/dev/${uevent.match(/^DEVNAME=(.+)$/m)[1]}`,
    constants.O_RDWR | constants.O_NOCTTY);
  try {
    const link = Uint8Array.of(0, 0x10, 0, 0, 0, 0, 0, 0, 0x10);
    const reply = new Uint8Array(8);
    const began = process.hrtime.bigint();
    for (let i = 0; i < count; ++i) {
      writeSync(fd, link);
      for (let got = 0; got < reply.length;) got += readSync(fd, reply, got, reply.length - got);
    }
    return (Number(process.hrtime.bigint() - began) / 1e9 / count) * kExchanges;
  } finally {
    closeSync(fd);
  }
}

const server = await serve();
const device = new Device();
const browser = await launchBrowser();
const image = makeImage({ seed: 9 });
const times = { page: [], cli: [], floor: [], node: [] };
try {
  for (let run = 1; run <= kRuns; ++run) {
    times.cli.push(await cliSeconds(image));
    const { page, floor } = await pageSeconds(browser, device, image);
    const node = nodeSeconds();
    times.page.push(page);
    times.floor.push(floor);
    times.node.push(node);
    console.log(`run ${run}: page ${page.toFixed(3)} s, vornex-cli ${times.cli.at(-1).toFixed(3)} s, `
      + `bare WebHID ${floor.toFixed(3)} s, the node without a browser ${node.toFixed(3)} s`);
  }
} finally {
  await browser.close();
  device.quit();
  server.close();
}
const page = median(times.page);
const cli = median(times.cli);
const floor = median(times.floor);
const node = median(times.node);
const perExchange = (seconds) => `${((seconds * 1e6) / kExchanges).toFixed(0)} us per exchange`;
console.log(`page:       ${page.toFixed(3)} s (median of ${kRuns}, ${perExchange(page)})`);
console.log(`vornex-cli: ${cli.toFixed(3)} s (median of ${kRuns}, ${perExchange(cli)})`);
console.log(`bare WebHID, no engine: ${floor.toFixed(3)} s (${perExchange(floor)}; `
  + `${(floor / cli).toFixed(3)} times vornex-cli)`);
console.log(`the device's node without a browser: ${node.toFixed(3)} s (${perExchange(node)}; `
  + `${(node / cli).toFixed(3)} times vornex-cli)`);
console.log(`ratio page / vornex-cli: ${(page / cli).toFixed(3)} `
  + `(target at most 1.1: ${page / cli <= 1.1 ? 'met' : 'missed'})`);
