// Drives one engine against a device link, the way the native runner does: after every event
// it carries out all the engine's actions, and it wakes the engine at nextWake(). The link is
//   send(bytes) -> Promise (settles when the report went out; rejects when it could not)
// and the caller forwards what the device does with report(bytes) and gone().
//
// A send that neither settles nor fails within sendTimeoutMs counts as failed: a report sent
// to a device that has just gone may never settle.

export class FlowRun {
  constructor(engine, link, { now, observer = {}, recorder = null, sendTimeoutMs = 2000 }) {
    this.engine = engine;
    this.link = link;
    this.now = now;
    this.observer = observer;
    this.recorder = recorder;
    this.sendTimeoutMs = sendTimeoutMs;
    this.timer = null;
    this.finished = false;
    this.done = new Promise((resolve) => { this.resolve = resolve; });
  }

  start(image) {
    this.engine.start(image, this.now());
    this.drain();
    return this.done;
  }

  report(bytes) {
    if (this.finished) return;
    this.recorder?.received(bytes);
    this.engine.reportArrived(bytes, this.now());
    this.drain();
  }

  gone() {
    if (this.finished) return;
    this.recorder?.gone();
    this.engine.deviceGone(this.now());
    this.drain();
  }

  cancel() {
    if (this.finished) return;
    this.engine.cancel(this.now());
    this.drain();
  }

  drain() {
    for (let action = this.engine.nextAction(); action; action = this.engine.nextAction()) {
      switch (action.type) {
        case 'send': this.send(action.bytes); break;
        case 'progress': this.observer.progress?.(action); break;
        case 'step': this.observer.step?.(action.step); break;
        case 'log': this.observer.log?.(action.text); break;
        case 'finished': return this.finish(action);
        default: break;  // wake: nextWake() below says the one time that matters
      }
    }
    this.scheduleWake();
  }

  send(bytes) {
    this.recorder?.sent(bytes);
    let timeout;
    const expired = new Promise((_, reject) => {
      timeout = setTimeout(() => reject(new Error('the report was not sent in time')),
        this.sendTimeoutMs);
    });
    Promise.race([this.link.send(bytes), expired]).then(
      () => clearTimeout(timeout),
      (error) => {
        clearTimeout(timeout);
        if (this.finished) return;
        this.recorder?.sendFailed(bytes, String(error?.message ?? error));
        this.observer.linkFailed?.(error);
        this.engine.sendFailed(this.now());
        this.drain();
      });
  }

  scheduleWake() {
    clearTimeout(this.timer);
    const wake = this.engine.nextWake();
    if (wake === null) return;
    this.timer = setTimeout(() => {
      if (this.finished) return;
      this.engine.timeReached(this.now());
      this.drain();
    }, Math.max(0, Math.ceil(wake - this.now())));
  }

  finish(outcome) {
    this.finished = true;
    clearTimeout(this.timer);
    this.engine.destroy();
    this.resolve(outcome);
  }
}

// Keeps a session as the lines of a session record, from the first event on.
export class SessionRecorder {
  constructor(library, now) {
    this.library = library;
    this.now = now;
    this.start = null;
    this.lines = [library.recordHeader() + '\n'];
  }
  at() {
    if (this.start === null) this.start = this.now();
    return Math.round((this.now() - this.start) * 1000);
  }
  // A sent report is kept as it went out, with its report ID in front.
  sent(bytes) { this.add(0, Uint8Array.of(0, ...bytes)); }
  sendFailed(bytes, error) { this.add(1, Uint8Array.of(0, ...bytes), error); }
  received(bytes) { this.add(2, bytes); }
  gone() { this.add(3); }
  add(kind, bytes, error) {
    this.lines.push(this.library.recordLine(kind, this.at(), bytes, error));
  }
  text() { return this.lines.join(''); }
}
