// The update page: connects the device over WebHID, checks the image with the engine, runs the
// engine's flows through FlowRun and tells what happened. What is refused, when the flow ends
// and what the user should do next all come from the engine.
import createEngineModule from './engine.js';
import { EngineLibrary, FlowKind, Task } from './engine-api.js';
import { FlowRun, SessionRecorder } from './runner.js';
import { isUpdateDevice, kDeviceFilter, WebHidLink } from './webhid-link.js';

const $ = (id) => document.getElementById(id);
const now = () => performance.now();

// The outcome names of the engine in words.
const kOutcomeWords = {
  completed: 'Done.',
  cancelled: 'Stopped.',
  no_device: 'No device is connected.',
  image_refused: 'The image was refused.',
  device_version_refused: 'The device\'s version is not one this image is for.',
  timeout: 'The device did not answer in time.',
  no_response: 'The device answered that it did not respond to the command.',
  data_error: 'The device\'s answer does not match the command.',
  write_failed: 'A report could not be sent to the device.',
  echo_mismatch: 'The device echoed other data than was written.',
  device_gone: 'The device was unplugged.',
  stalled: 'The device stopped answering.',
  verify_mismatch: 'The device does not hold the image.',
  file_error: 'The image could not be read.',
};
const kStepWords = {
  image: 'Checking the image', link: 'Linking', version: 'Reading the version',
  erase: 'Erasing', write: 'Writing', burn: 'Burning', read: 'Reading back',
};

const state = {
  library: null,
  device: null,     // the opened HIDDevice
  link: null,
  run: null,        // the FlowRun under way
  image: null,      // { name, bytes, check }
  record: null,     // the last run's SessionRecorder
  writeStart: null, // { at, done } when the writes began, for the speed
  pendingProgress: null,  // the last progress, not drawn yet
};

function hex16(value) {
  return '0x' + value.toString(16).padStart(4, '0');
}

function versionText(hex) {
  let text = '';
  for (let i = 0; i < hex.length; i += 2) {
    const code = parseInt(hex.substr(i, 2), 16);
    text += code >= 0x20 && code < 0x7f ? String.fromCharCode(code) : '';
  }
  return text || 'unknown';
}

function log(text) {
  const item = document.createElement('li');
  item.textContent = text;
  $('log').append(item);
  item.scrollIntoView?.({ block: 'nearest' });
}

function updateControls() {
  const busy = state.run !== null;
  const ready = state.library !== null;
  $('connect').disabled = busy || !ready;
  $('read-version').disabled = busy || !state.device;
  $('image').disabled = busy;
  $('update').disabled = busy || !state.device || !state.image || !imageAccepted();
  $('stop').disabled = !busy;
  $('save-log').disabled = busy || !state.record;
  for (const input of document.querySelectorAll('fieldset input')) input.disabled = busy;
}

function chosenFlow() {
  return document.querySelector('input[name=flow]:checked').value === 'echo'
    ? FlowKind.echo : FlowKind.strict;
}

// Whether the chosen flow takes the image: the echo flow checks only its size.
function imageAccepted() {
  const check = state.image?.check;
  if (!check) return false;
  return chosenFlow() === FlowKind.echo ? check.sizeAccepted : !check.refusal;
}

// `words` replaces the outcome's own words where the page knows more.
function showOutcome(outcome, task, words = null) {
  const box = $('outcome');
  box.dataset.outcome = outcome.outcome;
  box.classList.toggle('failed', outcome.outcome !== 'completed');
  if (words === null) words = describeOutcome(outcome, task);
  $('outcome-words').textContent = words;
  $('outcome-advice').textContent = outcome.advice ?? '';
}

function describeOutcome(outcome, task) {
  let words = kOutcomeWords[outcome.outcome] ?? outcome.outcome;
  if (outcome.outcome === 'completed') {
    words = task === Task.version
      ? `Version read: ${versionText(outcome.deviceVersion ?? '')}.`
      : 'Update completed: the device holds the new firmware.';
  } else if (outcome.step !== 'image') {
    words += ` (step: ${kStepWords[outcome.step] ?? outcome.step}`
      + (outcome.address !== undefined ? ` at ${hex16(outcome.address)}` : '') + ')';
  }
  if (outcome.reason) words += ` Reason: ${outcome.reason === 'size'
    ? 'it is not 65,536 bytes long' : 'it does not begin with this updater\'s version text'}.`;
  return words;
}

// No outcome to tell: without a device the status says how to get one.
function clearOutcome() {
  $('outcome').dataset.outcome = '';
  $('outcome').classList.remove('failed');
  $('outcome-words').textContent = state.device ? ''
    : 'No device is connected: plug it in, press Connect and choose it in the browser\'s list.';
  $('outcome-advice').textContent = '';
}

function showDevice() {
  $('device-name').textContent = state.device
    ? `${state.device.productName || 'Nuv update device'} (${hex16(state.device.vendorId)}:${hex16(state.device.productId)})`
    : 'none connected';
  if (!state.device) $('device-version').textContent = 'unknown';
  updateControls();
}

// The system the browser runs on, as the help names it.
function thisSystem() {
  const platform = (navigator.userAgentData?.platform || navigator.platform || '').toLowerCase();
  // ChromeOS calls itself "Chrome OS" in client hints and "Linux" in navigator.platform.
  if (platform.startsWith('chrome') || /\bCrOS\b/.test(navigator.userAgent)) return 'chromeos';
  if (platform.startsWith('win')) return 'windows';
  if (platform.startsWith('mac')) return 'macos';
  if (platform.includes('linux')) return 'linux';
  return null;
}

// Shows what to check when no device was chosen or the chosen one could not be opened, this
// system's part opened, and points the status to it.
function showDeviceHelp(why) {
  $('outcome-advice').textContent = 'See "If the device does not show or cannot be opened" below.';
  $('device-help-why').textContent = why;
  const system = thisSystem();
  for (const part of document.querySelectorAll('#device-help details'))
    part.open = part.dataset.system === system;
  $('device-help').hidden = false;
}

async function openDevice(device) {
  try {
    if (!device.opened) await device.open();
  } catch (error) {
    log(`Could not open the device: ${error.message}`);
    showOutcome(state.library.noDeviceOutcome(), Task.version,
      `The device could not be opened (${error.message}).`);
    showDeviceHelp(`The browser could not open the device: ${error.message}`);
    return;
  }
  $('device-help').hidden = true;
  state.link?.detach();
  state.device = device;
  state.link = new WebHidLink(device, (bytes) => state.run?.report(bytes));
  log(`Connected: ${device.productName}`);
  showDevice();
  await runFlow(Task.version);
}

function forgetDevice() {
  state.link?.detach();
  state.link = null;
  state.device = null;
  showDevice();
}

// Progress, drawn at most every kProgressEveryMs: a download's reports come faster than
// frames, and every drawing takes the thread that answers them.
const kProgressEveryMs = 100;
function progressed(progress) {
  if (state.pendingProgress === null)
    setTimeout(() => requestAnimationFrame(drawProgress), kProgressEveryMs);
  state.pendingProgress = progress;
}
function drawProgress() {
  const p = state.pendingProgress;
  state.pendingProgress = null;
  if (!p) return;
  const percent = Math.floor((100 * p.done) / p.total);
  $('progress').setAttribute('aria-valuenow', String(percent));
  $('progress').setAttribute('aria-valuetext', `${percent} %, address ${hex16(p.address)}`);
  $('progress-fill').style.width = `${percent}%`;
  $('address').textContent = hex16(p.address);
  $('percent').textContent = `${percent} %`;
  if (state.writeStart === null) state.writeStart = { at: now(), done: p.done };
  const seconds = (now() - state.writeStart.at) / 1000;
  if (seconds > 0.5) {
    const speed = (p.done - state.writeStart.done) / seconds;
    $('speed').textContent = `${(speed / 1024).toFixed(1)} KiB/s`;
    $('time-left').textContent = speed > 0 ? `${Math.ceil((p.total - p.done) / speed)} s` : '-';
  }
}

function resetProgress() {
  state.pendingProgress = null;
  state.writeStart = null;
  $('progress').setAttribute('aria-valuenow', '0');
  $('progress').removeAttribute('aria-valuetext');
  $('progress-fill').style.width = '0';
  for (const id of ['address', 'speed', 'time-left']) $(id).textContent = '-';
  $('percent').textContent = '0 %';
}

async function runFlow(task) {
  if (!state.device || state.run) return;
  const flow = task === Task.version ? FlowKind.strict : chosenFlow();
  const stallMs = Math.max(1, Number($('stall-limit').value) || 10) * 1000;
  const engine = state.library.createEngine(flow, task, flow === FlowKind.echo ? stallMs : 0);
  const recorder = new SessionRecorder(state.library, now);
  clearOutcome();
  if (task === Task.download) resetProgress();
  state.run = new FlowRun(engine, state.link, {
    now,
    recorder,
    observer: {
      progress: progressed,
      step: (step) => { $('step').textContent = kStepWords[step] ?? step; },
      log,
      linkFailed: (error) => log(`Send failed: ${error.message ?? error}`),
    },
  });
  updateControls();
  const image = task === Task.download ? state.image.bytes : new Uint8Array(0);
  const outcome = await state.run.start(image);
  state.run = null;
  state.record = recorder;
  if (state.pendingProgress) drawProgress();
  if (outcome.deviceVersion) $('device-version').textContent = versionText(outcome.deviceVersion);
  $('step').textContent = outcome.outcome === 'completed' ? 'finished' : `ended: ${outcome.outcome}`;
  showOutcome(outcome, task);
  updateControls();
}

async function chooseImage(file) {
  let bytes;
  try {
    bytes = new Uint8Array(await file.arrayBuffer());
  } catch (error) {
    state.image = null;
    $('image-facts').hidden = true;
    updateControls();
    showOutcome(state.library.fileErrorOutcome(), Task.download,
      `The image could not be read (${error.message}).`);
    return;
  }
  state.image = { name: file.name, bytes, check: state.library.checkImage(bytes) };
  showImage();
}

// Shows the image and the chosen flow's verdict on it, a refusal in the status too.
function showImage() {
  const image = state.image;
  if (!image || state.run) return;
  if (imageAccepted()) clearOutcome();
  else showOutcome(image.check.refusal, Task.download);
  const { check } = image;
  $('image-facts').hidden = false;
  $('image-name').textContent = image.name;
  $('image-size').textContent = `${check.size.toLocaleString('en')} bytes`
    + (check.sizeAccepted ? '' : ` (must be ${check.expectedSize.toLocaleString('en')})`);
  $('image-header').textContent = check.header || '(none)';
  $('image-version').textContent = check.versionAccepted
    ? check.version
    : `${check.version || 'none'}, not ${check.programVersion}`
      + (chosenFlow() === FlowKind.echo ? ' (the echo flow does not check it)' : '');
  const accepted = imageAccepted();
  const verdict = $('image-verdict');
  verdict.className = accepted ? 'accepted' : 'refused';
  verdict.textContent = accepted ? 'accepted'
    : `refused: ${check.sizeAccepted ? 'its version text is not this updater\'s' : 'wrong size'}`;
  updateControls();
}

async function confirmAndUpdate() {
  const dialog = $('confirm');
  dialog.returnValue = '';
  dialog.showModal();
  await new Promise((resolve) => dialog.addEventListener('close', resolve, { once: true }));
  if (dialog.returnValue === 'update') await runFlow(Task.download);
}

function saveLog() {
  const blob = new Blob([state.record.text()], { type: 'application/x-ndjson' });
  const anchor = document.createElement('a');
  anchor.href = URL.createObjectURL(blob);
  anchor.download = 'nuv-session.jsonl';
  document.body.append(anchor);
  anchor.click();
  anchor.remove();
  setTimeout(() => URL.revokeObjectURL(anchor.href), 10000);
}

function unsupportedReason() {
  if (!window.isSecureContext)
    return 'This page was not opened over HTTPS or from 127.0.0.1, so the browser hides WebHID.';
  if (!('hid' in navigator)) return 'This browser has no WebHID.';
  return null;
}

function wireControls() {
  $('connect').addEventListener('click', async () => {
    let device = null;
    try {
      [device] = await navigator.hid.requestDevice({ filters: [kDeviceFilter] });
    } catch (error) {
      log(`No device chosen: ${error.message}`);
    }
    if (device) {
      await openDevice(device);
    } else {
      clearOutcome();
      showDeviceHelp('No device was chosen. If the update device was not in the browser\'s '
        + 'list, the browser cannot see it yet.');
    }
  });
  $('copy-rule').addEventListener('click', async () => {
    try {
      await navigator.clipboard.writeText(`${$('udev-rule').value}\n`);
      $('copy-rule').textContent = 'Copied';
      setTimeout(() => { $('copy-rule').textContent = 'Copy rule'; }, 2000);
    } catch (error) {
      log(`Could not copy the rule: ${error.message}; select it and copy it by hand.`);
    }
  });
  $('read-version').addEventListener('click', () => runFlow(Task.version));
  $('image').addEventListener('change', (event) => {
    const [file] = event.target.files;
    if (file) chooseImage(file);
  });
  $('update').addEventListener('click', confirmAndUpdate);
  $('stop').addEventListener('click', () => state.run?.cancel());
  $('save-log').addEventListener('click', saveLog);
  for (const input of document.querySelectorAll('input[name=flow]'))
    input.addEventListener('change', showImage);

  const zone = $('drop-zone');
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    zone.classList.add('dragging');
  });
  document.addEventListener('dragleave', () => zone.classList.remove('dragging'));
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    zone.classList.remove('dragging');
    const [file] = event.dataTransfer.files;
    if (file && !state.run) chooseImage(file);
  });
}

function watchDevices() {
  navigator.hid.addEventListener('disconnect', (event) => {
    if (event.device !== state.device) return;
    log('The device was unplugged.');
    state.run?.gone();
    forgetDevice();
  });
  navigator.hid.addEventListener('connect', (event) => {
    if (!state.device && isUpdateDevice(event.device)) openDevice(event.device);
  });
}

async function main() {
  wireControls();
  const why = unsupportedReason();
  if (why) {
    $('unsupported-why').textContent = why;
    $('unsupported').hidden = false;
    for (const id of ['connect', 'read-version', 'update']) $(id).disabled = true;
  }
  state.library = new EngineLibrary(await createEngineModule());
  document.body.dataset.ready = 'true';
  if (why) return;
  updateControls();
  watchDevices();
  const [granted] = (await navigator.hid.getDevices()).filter(isUpdateDevice);
  if (granted) await openDevice(granted);
  else clearOutcome();
}

main();
