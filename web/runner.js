// Drives one engine against a device link, the way the native runner does: after every event
// it carries out all the engine's actions, and it wakes the engine at nextWake(). The link is
//   send(bytes) -> Promise (settles when the report went out; rejects when it could not)
// and the caller forwards what the device does with report(bytes) and gone().
//
// A send that neither settles nor fails within sendTimeoutMs counts as failed: a report sent
// to a device that has just gone may never settle.
//
// Each exchange of a download costs the page a report event and a send, and nothing more that
// can be helped: one watchdog timer looks after every send in flight, the wake timer is set
// again only when the engine wants waking earlier, and the session record keeps raw events,
// worded only when asked for.

export class FlowRun {
  constructor(engine, link, { now, observer = {}, recorder = null, sendTimeoutMs = 2000 }) {
    this.engine = engine;
    this.link = link;
    this.now = now;
    this.observer = observer;
    this.recorder = recorder;
    this.sendTimeoutMs = sendTimeoutMs;
    this.timer = null;
    this.timerAt = null;          // when the wake timer fires
    this.inFlight = new Map();    // send -> { at, bytes }, until it settles; at in real time
    this.watchdog = null;
    this.nextSend = 0;
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

  // The report goes first; the bookkeeping waits until it is on its way.
  send(bytes) {
    const id = this.nextSend++;
    this.link.send(bytes).then(() => this.inFlight.delete(id),
      (error) => { if (this.inFlight.delete(id)) this.sendFailed(bytes, error); });
    this.recorder?.sent(bytes);
    this.inFlight.set(id, { at: performance.now(), bytes });
    this.armWatchdog();
  }

  sendFailed(bytes, error) {
    if (this.finished) return;
    this.recorder?.sendFailed(bytes, String(error?.message ?? error));
    this.observer.linkFailed?.(error);
    this.engine.sendFailed(this.now());
    this.drain();
  }

  // Fails the sends older than sendTimeoutMs; looks again when the oldest left is due.
  armWatchdog() {
    if (this.watchdog !== null || this.finished || this.inFlight.size === 0) return;
    const [oldest] = this.inFlight.values();
    const left = oldest.at + this.sendTimeoutMs - performance.now();
    this.watchdog = setTimeout(() => {
      this.watchdog = null;
      for (const [id, send] of this.inFlight) {
        if (performance.now() - send.at < this.sendTimeoutMs) break;
        this.inFlight.delete(id);
        this.sendFailed(send.bytes, new Error('the report was not sent in time'));
      }
      this.armWatchdog();
    }, Math.max(0, Math.ceil(left)));
  }

  scheduleWake() {
    const wake = this.engine.nextWake();
    if (wake === null || (this.timer !== null && this.timerAt <= wake)) return;
    clearTimeout(this.timer);
    this.timerAt = wake;
    this.timer = setTimeout(() => {
      this.timer = null;
      if (this.finished) return;
      // Set for an earlier wake the engine no longer wants: it is set again below.
      const due = this.engine.nextWake();
      if (due !== null && due <= this.now()) this.engine.timeReached(this.now());
      this.drain();
    }, Math.max(0, Math.ceil(wake - this.now())));
  }

  finish(outcome) {
    this.finished = true;
    clearTimeout(this.timer);
    clearTimeout(this.watchdog);
    this.engine.destroy();
    this.resolve(outcome);
  }
}

// Keeps a session as the lines of a session record, from the first event on. The events are
// kept as they come and worded by the engine only when the text is asked for.
export class SessionRecorder {
  constructor(library, now) {
    this.library = library;
    this.now = now;
    this.start = null;
    this.events = [];
  }
  at() {
    if (this.start === null) this.start = this.now();
    return Math.round((this.now() - this.start) * 1000);
  }
  // A sent report is kept as it went out, with its report ID in front.
  sent(bytes) { this.add(0, Uint8Array.of(0, ...bytes)); }
  sendFailed(bytes, error) { this.add(1, Uint8Array.of(0, ...bytes), error); }
  received(bytes) { this.add(2, bytes.slice()); }
  gone() { this.add(3); }
  add(kind, bytes, error) { this.events.push({ kind, at: this.at(), bytes, error }); }
  text() {
    const lines = [this.library.recordHeader() + '\n'];
    for (const { kind, at, bytes, error } of this.events)
      lines.push(this.library.recordLine(kind, at, bytes, error));
    return lines.join('');
  }
}
