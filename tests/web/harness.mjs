// What the browser suite and the page's benchmark share: the page's host, the device (the
// emulated device behind nuv-pty-hid-device), images and the browser. Run only inside the
// namespaces that run-browser-suite.sh makes. Environment: NUV_WEB_DIR (build/web),
// NUV_PTY_DEVICE, NUV_WEB_PORT, NUV_WEB_INSECURE_HOST, NUV_SYSFS_DEVICES, NUV_SYSFS_CLASS,
// NUV_CHROMIUM (optional).
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';

const env = process.env;
export const origin = `http://127.0.0.1:${env.NUV_WEB_PORT}`;
// The same page from an origin that the WebHID policy does not name: nothing is granted there.
export const ungrantedOrigin = `http://localhost:${env.NUV_WEB_PORT}`;
// The same page from an address that is not loopback, over plain HTTP: not a secure context.
export const insecureOrigin = `http://${env.NUV_WEB_INSECURE_HOST}:${env.NUV_WEB_PORT}`;
export const scratch = mkdtempSync(path.join(os.tmpdir(), 'nuv-web-'));

// --- the page's host: build/web/ as static files --------------------------------------------
const kTypes = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
  '.wasm': 'application/wasm' };
export function serve({ root = env.NUV_WEB_DIR, host = '127.0.0.1' } = {}) {
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
  return new Promise((resolve) => server.listen(Number(env.NUV_WEB_PORT), host,
    () => resolve(server)));
}

// --- the device: one line per command, one line back ----------------------------------------
export class Device {
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
  quit() { this.child.stdin.end('quit\n'); }
}

// --- images ------------------------------------------------------------------------------------
export function makeImage({ size = 0x10000, header = 'V1.01 web test', seed = 1 } = {}) {
  const bytes = Buffer.alloc(size);
  for (let i = 0; i < size; ++i) bytes[i] = (i * 31 + seed * 7 + (i >> 8)) & 0xff;
  bytes.write(header.padEnd(16, '\0').slice(0, size), 0, 'latin1');
  const file = path.join(scratch, `image-${size}-${header.slice(0, 5)}-${seed}.nuv`);
  writeFileSync(file, bytes);
  return { name: path.basename(file), file, buffer: bytes };
}

// Headless, or with windows on `display` (an X display, see startDisplay).
export function launchBrowser({ display = null } = {}) {
  return chromium.launch({
    executablePath: env.NUV_CHROMIUM ?? '/usr/lib/chromium/chromium',
    args: ['--no-sandbox', '--disable-gpu'],
    ...(display && { headless: false, env: { ...env, DISPLAY: display } }),
  });
}

// --- a screen for the browser's own windows (its device list), and keys typed into it ------
// Xvfb on the first free display; stop() ends it.
export async function startDisplay() {
  const server = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x900x24', '-nolisten', 'tcp'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const number = await new Promise((resolve, reject) => {
    server.stdio[3].once('data', (data) => resolve(String(data).trim()));
    server.once('error', reject);
    server.once('exit', () => reject(new Error('Xvfb ended before it was ready')));
  });
  const display = `:${number}`;
  const run = (command, args) => execFileSync(command, args,
    { env: { ...env, DISPLAY: display }, maxBuffer: 64 << 20 });
  return {
    display,
    screen: () => run('import', ['-window', 'root', 'rgb:-']),
    key: (name) => run('xdotool', ['key', name]),
    stop: () => server.kill(),
  };
}

// Waits until the page's status tells `outcome`.
export async function waitForOutcome(page, outcome, timeout = 90000) {
  await page.waitForSelector(`[role=status][data-outcome="${outcome}"]`, { timeout });
}
