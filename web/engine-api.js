// The update engine compiled to WebAssembly (EngineWasm.cpp), as JavaScript objects. Every
// rule of the protocol, the image and the flows lives in the engine; this file only moves
// bytes and JSON across.

export const FlowKind = Object.freeze({ strict: 0, echo: 1 });
export const Task = Object.freeze({ version: 0, download: 1 });
export const RecordEvent = Object.freeze({ sent: 0, sendFailed: 1, received: 2, gone: 3 });

const kScratchSize = 4096;

export function hexToBytes(hex) {
  const bytes = new Uint8Array(hex.length / 2);
  for (let i = 0; i < bytes.length; ++i) bytes[i] = parseInt(hex.substr(i * 2, 2), 16);
  return bytes;
}

// One instance of the compiled module and the calls that need no engine.
export class EngineLibrary {
  constructor(module) {
    this.module = module;
    this.scratch = module._nuv_alloc(kScratchSize);
  }

  // Runs fn(pointer, length) with `bytes` copied into the module's memory.
  withBytes(bytes, fn) {
    const m = this.module;
    const pointer = m._nuv_alloc(bytes.length);
    m.HEAPU8.set(bytes, pointer);
    try {
      return fn(pointer, bytes.length);
    } finally {
      m._nuv_free(pointer);
    }
  }

  scratchText(length) {
    return length === 0 ? '' : this.module.UTF8ToString(this.scratch, length);
  }

  // What the flows think of an image: { size, header, sizeAccepted, versionAccepted,
  // refusal? } where refusal is the outcome the strict flow would end with.
  checkImage(bytes) {
    const length = this.withBytes(bytes, (p, n) =>
      this.module._nuv_image_check(p, n, this.scratch, kScratchSize));
    return JSON.parse(this.scratchText(length));
  }

  // The outcomes the page tells itself, with the engine's words of advice.
  noDeviceOutcome() { return this.frontEndOutcome(0); }
  fileErrorOutcome() { return this.frontEndOutcome(1); }
  frontEndOutcome(kind) {
    return JSON.parse(this.scratchText(
      this.module._nuv_front_end_outcome(kind, this.scratch, kScratchSize)));
  }

  recordHeader() {
    return this.scratchText(this.module._nuv_record_header(this.scratch, kScratchSize));
  }

  // One session record line (with its newline).
  recordLine(kind, atMicroseconds, bytes = new Uint8Array(0), error = '') {
    const m = this.module;
    const errorBytes = new TextEncoder().encode(error + '\0');
    return this.withBytes(bytes, (p, n) => this.withBytes(errorBytes, (e) =>
      this.scratchText(m._nuv_record_line(kind, atMicroseconds, p, n, e, this.scratch,
        kScratchSize))));
  }

  createEngine(flow, task, stallLimitMs = 0) {
    const handle = this.module._nuv_engine_create(flow, task, stallLimitMs);
    if (handle === 0) throw new Error(`no such flow: ${flow}`);
    return new UpdateEngine(this, handle);
  }
}

// One flow run. Times are milliseconds on one clock that never goes back.
export class UpdateEngine {
  constructor(library, handle) {
    this.library = library;
    this.module = library.module;
    this.handle = handle;
  }

  start(image, now) {
    this.library.withBytes(image, (p, n) => this.module._nuv_engine_start(this.handle, p, n, now));
  }
  reportArrived(report, now) {
    this.library.withBytes(report, (p, n) =>
      this.module._nuv_engine_report(this.handle, p, n, now));
  }
  timeReached(now) { this.module._nuv_engine_time(this.handle, now); }
  deviceGone(now) { this.module._nuv_engine_gone(this.handle, now); }
  sendFailed(now) { this.module._nuv_engine_send_failed(this.handle, now); }
  cancel(now) { this.module._nuv_engine_cancel(this.handle, now); }

  // The next action ({type: send|wake|progress|step|log|finished, ...}), or null.
  nextAction() {
    const text = this.module._nuv_engine_next_action(this.handle);
    if (text === 0) return null;
    const action = JSON.parse(this.module.UTF8ToString(text));
    if (action.type === 'send') action.bytes = hexToBytes(action.report);
    return action;
  }
  // The time the flow wants timeReached() at, or null.
  nextWake() {
    const at = this.module._nuv_engine_next_wake(this.handle);
    return at < 0 ? null : at;
  }
  destroy() {
    if (this.handle !== 0) this.module._nuv_engine_destroy(this.handle);
    this.handle = 0;
  }
}
