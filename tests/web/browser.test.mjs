// The update page in Debian's Chromium, driven by playwright-core, against the emulated device
// presented as a hidraw node (nuv-pty-hid-device). Headless, except one test that shows the
// browser on Xvfb to choose the device in the browser's own list with keys typed by xdotool.
// Run only inside the namespaces that run-browser-suite.sh makes; Node's own test runner. Environment: harness.mjs's,
// NUV_VORNEX_CLI, and NUV_WEB_SCREENSHOT (optional: where to save a picture of the page
// mid-download).
import assert from 'node:assert/strict';
import { execFile, execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { createRequire } from 'node:module';
import { Device, insecureOrigin, launchBrowser, makeImage, origin, scratch, serve,
  startDisplay, ungrantedOrigin, waitForOutcome } from './harness.mjs';

const require = createRequire(import.meta.url);
const env = process.env;

let server;
let insecureServer;
let browser;
let device;
before(async () => {
  server = await serve();
  insecureServer = await serve({ host: env.NUV_WEB_INSECURE_HOST });
  device = new Device();
  browser = await launchBrowser();
});
after(async () => {
  await browser?.close();
  device?.quit();
  server?.close();
  insecureServer?.close();
});

// A fresh device (memory, faults, version) plugged in, and the page opened on it; from an
// origin that the policy does not grant the device to unless `granted`.
// `chooser` stands in for the browser's device list: the page then finds no device at load,
// and Connect gets `chooser`'s answer (see answerChooser).
async function openPage({ version = '1.01', faults = [], flow = 'strict', granted = true,
  bypassCSP = false, chooser = null } = {}) {
  await device.do('unplug', { mayFail: true });
  await device.do('reset');
  if (version !== '1.01') await device.do(`version ${version}`);
  for (const fault of faults) await device.do(`fault ${fault}`);
  await device.do('plug');
  const context = await browser.newContext({ acceptDownloads: true, bypassCSP });
  if (chooser) await context.addInitScript(answerChooser, chooser);
  const page = await context.newPage();
  page.on('pageerror', (error) => assert.fail(`page error: ${error.message}`));
  await page.goto(`${granted ? origin : ungrantedOrigin}/index.html`);
  await page.waitForSelector('body[data-ready]');
  if (granted && !chooser) await waitForOutcome(page, 'completed');
  if (flow === 'echo') {
    await page.getByLabel('Echo (QuenlorHID)', { exact: false }).check();
    await page.getByLabel('Stall limit of the echo flow, in seconds').fill('1');
  }
  return page;
}

// Runs in the page: nothing granted at load; requestDevice() keeps its options and answers
// with nothing ('none') or with the granted device, which fails to open ('open-fails').
function answerChooser(answer) {
  const hid = navigator.hid;
  const granted = hid.getDevices.bind(hid);
  hid.getDevices = async () => [];
  hid.requestDevice = async (options) => {
    window.chooserOptions = options;
    if (answer === 'none') return [];
    const devices = await granted();
    for (const device of devices)
      device.open = () => Promise.reject(new DOMException('Failed to open the device.',
        'NotAllowedError'));
    return devices;
  };
}

async function closePage(page) {
  await page.context().close();
  await device.do('unplug', { mayFail: true });
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

function onPath(command) {
  try {
    execFileSync('sh', ['-c', `command -v ${command}`], { stdio: 'ignore' });
    return true;
  } catch {
    return false;
  }
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

test('before a device is granted, the page offers Connect, says what to do and takes a dropped image', async () => {
  const page = await openPage({ granted: false });
  await page.waitForFunction(() => document.getElementById('outcome-words').textContent !== '');
  // The image is dropped on the page rather than chosen.
  const image = makeImage();
  await page.evaluate(({ name, base64 }) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([Uint8Array.from(atob(base64), (c) => c.charCodeAt(0))], name));
    document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true }));
  }, { name: image.name, base64: image.buffer.toString('base64') });
  await page.locator('#image-facts').waitFor();
  assert.equal(await page.locator('#image-name').textContent(), image.name);
  assert.equal(await page.locator('#image-verdict').textContent(), 'accepted');
  assert.equal(await page.locator('#image-version').textContent(), '1.01');
  assert.equal(await page.locator('#device-name').textContent(), 'none connected');
  assert.ok(await page.getByRole('button', { name: 'Connect' }).isEnabled());
  for (const name of ['Read version', 'Update'])
    assert.ok(await page.getByRole('button', { name }).isDisabled(), name);
  assert.match(await page.getByRole('status').textContent(), /press Connect/);
  assert.equal(await page.getByRole('status').getAttribute('data-outcome'), '');
  await closePage(page);
});

test('no device chosen, or one that fails to open: the page shows this system\'s help',
  async (t) => {
    const rule = readFileSync(new URL('../../platform/hidraw/70-nuv-update-device.rules',
      import.meta.url), 'utf8').trim();
    const cases = [
      { chooser: 'none', outcome: '', help: /No device was chosen/ },
      { chooser: 'open-fails', outcome: 'no_device', help: /could not open .*Failed to open/ },
    ];
    for (const c of cases) {
      await t.test(c.chooser, async () => {
        const page = await openPage({ chooser: c.chooser });
        await page.getByRole('button', { name: 'Connect' }).focus();
        await page.keyboard.press('Enter');
        await page.waitForFunction(() => window.chooserOptions);
        assert.deepEqual(await page.evaluate(() => window.chooserOptions),
          { filters: [{ vendorId: 0xffff, productId: 0x0100 }] });
        if (c.outcome) await waitForOutcome(page, c.outcome);
        await page.locator('#device-help').waitFor();
        assert.match(await page.locator('#device-help-why').textContent(), c.help);
        assert.equal(await page.getByRole('status').getAttribute('data-outcome'), c.outcome);
        assert.match(await page.locator('#outcome-advice').textContent(), /below/);
        assert.deepEqual(await page.$$eval('#device-help details[open]',
          (parts) => parts.map((part) => part.dataset.system)), ['linux']);
        assert.equal(await page.getByLabel('The udev rule file').inputValue(), rule);
        await closePage(page);
      });
    }
  });

test('Connect through the browser\'s own device list, with the keyboard alone', async (t) => {
  if (!['Xvfb', 'xdotool', 'import'].every(onPath))
    return t.skip('needs Xvfb, xdotool and ImageMagick\'s import for a browser with windows');
  const screen = await startDisplay();
  const headed = await launchBrowser({ display: screen.display });
  try {
    await device.do('unplug', { mayFail: true });
    await device.do('reset');
    await device.do('plug');
    const page = await (await headed.newContext({ viewport: null })).newPage();
    await page.goto(`${ungrantedOrigin}/index.html`);
    await page.waitForSelector('body[data-ready]');
    await page.getByRole('button', { name: 'Connect' }).focus();
    // The list is drawn in the browser's window, where the page cannot see it: it is up when
    // the screen, still before Enter, changes after it.
    const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
    let before = screen.screen();
    for (;;) {
      await pause(100);
      const now = screen.screen();
      if (now.equals(before)) break;
      before = now;
    }
    await page.keyboard.press('Enter');
    for (let look = 0; screen.screen().equals(before); ++look) {
      assert.ok(look < 100, 'the browser\'s device list did not show');
      await pause(100);
    }
    // Its focus starts on Cancel: back over the help button to the list, the first device,
    // then Connect; each key once the list has taken the one before.
    await pause(500);
    for (const key of ['shift+Tab', 'shift+Tab', 'Down', 'Return']) {
      screen.key(key);
      await pause(250);
    }
    await waitForOutcome(page, 'completed', 15000).catch(() => assert.fail(
      'the device list did not take shift+Tab, shift+Tab, Down, Return: has its layout changed?'));
    assert.equal(await page.locator('#device-version').textContent(), '1.01');
    assert.match(await page.locator('#device-name').textContent(), /Nuv update device/);
    assert.ok(await page.locator('#device-help').isHidden());
  } finally {
    await headed.close();
    screen.stop();
    await device.do('unplug', { mayFail: true });
  }
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

test('a device fault at each step ends each flow as it ends vornex-cli\'s', async (t) => {
  const image = makeImage({ seed: 3 });
  const cases = [
    { flow: 'strict', fault: 'wrong-code@link' },
    { flow: 'strict', fault: 'code-zero@version' },
    { flow: 'strict', fault: 'code-zero@format' },
    { flow: 'strict', fault: 'wrong-code@0x100' },
    { flow: 'strict', fault: 'unplug@0x200' },
    { flow: 'strict', fault: 'wrong-address@burn' },
    { flow: 'echo', fault: 'unplug@link' },
    { flow: 'echo', fault: 'no-reply@format' },
    { flow: 'echo', fault: 'wrong-data@0x40' },
    { flow: 'echo', fault: 'code-zero@burn' },
  ];
  for (const c of cases) {
    await t.test(`${c.flow} ${c.fault}`, async () => {
      const native = await cli(['download', image.file, '--sim', '--flow', c.flow,
        '--sim-fault', c.fault, ...(c.flow === 'echo' ? ['--stall-timeout', '1'] : [])]);
      // The fault is set once the page has read the version, as the CLI's comes with its run.
      const page = await openPage({ flow: c.flow });
      await device.do(`fault ${c.fault}`);
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

test('axe finds no accessibility violations, wide or narrow, with the device help shown', async () => {
  // The page's policy forbids injected scripts; axe is one.
  const page = await openPage({ bypassCSP: true, chooser: 'none' });
  await page.getByLabel('Choose image').setInputFiles(makeImage({ size: 10 }));
  await page.getByRole('button', { name: 'Connect' }).click();
  await page.locator('#device-help').waitFor();
  await page.addScriptTag({ path: require.resolve('axe-core/axe.min.js') });
  for (const width of [1000, 360]) {
    await page.setViewportSize({ width, height: 800 });
    const result = await page.evaluate(() => window.axe.run());
    assert.deepEqual(result.violations.map((v) => `${v.id}: ${v.help}`), [], `width ${width}`);
  }
  await closePage(page);
});

test('without WebHID or a secure context the page says so and points to the native programs',
  async (t) => {
    const cases = [
      { name: 'no WebHID', url: origin, hideWebHid: true, why: /has no WebHID/ },
      { name: 'plain HTTP from another host', url: insecureOrigin, why: /not opened over HTTPS/ },
    ];
    for (const c of cases) {
      await t.test(c.name, async () => {
        const context = await browser.newContext();
        if (c.hideWebHid) await context.addInitScript(() => { delete Navigator.prototype.hid; });
        const page = await context.newPage();
        await page.goto(`${c.url}/index.html`);
        await page.waitForSelector('body[data-ready]');
        assert.ok(await page.getByRole('alert').isVisible());
        assert.match(await page.locator('#unsupported-why').textContent(), c.why);
        assert.ok(await page.getByRole('link', { name: 'one of the native programs' }).isVisible());
        assert.ok(await page.getByRole('button', { name: 'Connect' }).isDisabled());
        await context.close();
      });
    }
  });
