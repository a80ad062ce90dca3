// What the panel's browser tests share: a kvhost that serves a panel on a free port (its page's
// address read from what it prints), stopped by its process id on every way out, and Debian's
// chromium, never a downloaded browser.
import assert from 'node:assert/strict';
import {spawn} from 'node:child_process';
import {existsSync} from 'node:fs';

let puppeteer;
try {
  puppeteer = (await import('puppeteer-core')).default;
} catch (e) {
  throw new Error('puppeteer-core is not installed: run ./dev setup (npm ci in tests/panel)');
}
export const chromium = '/usr/bin/chromium';
assert.ok(existsSync(chromium), `${chromium} is missing: run ./dev setup (Debian's chromium)`);

// `PROGRAM ARGS --panel 0`, once it prints the page's address: {child, url, ended (its exit
// code), stderr(), stdout()}. `stdin`: 'ignore', or 'pipe' for control lines.
export function startPanel(program, args, {stdin = 'ignore'} = {}) {
  const child = spawn(program, [...args, '--panel', '0'], {stdio: [stdin, 'pipe', 'pipe']});
  const what = [program.split('/').pop(), ...args.slice(0, 1)].join(' ');
  let err = '';
  let out = '';
  child.stderr.on('data', (d) => { err += d; });
  child.stdout.on('data', (d) => { out += d; });
  const ended = new Promise((resolve) => child.once('exit', (code) => resolve(code)));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      process.kill(child.pid, 'SIGKILL');
      reject(new Error(`${what} --panel did not start: ${err}`));
    }, 15000);
    child.stdout.on('data', () => {
      const m = /kvhost panel: (http:\/\/\S+)/.exec(out);
      if (m) {
        clearTimeout(timer);
        resolve({child, url: m[1], ended, stderr: () => err, stdout: () => out});
      }
    });
    child.once('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`${what} --panel ended (${code}): ${err}`));
    });
  });
}

// Ctrl-C as a user gives it; its exit code, or -1 after a kill by process id when it does not
// end within 10 s.
export async function stopPanel(panel) {
  if (panel.child.exitCode === null) process.kill(panel.child.pid, 'SIGINT');
  let killed = false;
  const timer = setTimeout(() => {
    killed = true;
    process.kill(panel.child.pid, 'SIGKILL');
  }, 10000);
  const code = await panel.ended;
  clearTimeout(timer);
  return killed ? -1 : code;
}

// Headless chromium with a profile of its own (`profile`, a folder the caller removes) and
// any further switches.
export function launchChromium(profile, viewport = {width: 1280, height: 900}, more = []) {
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           `--user-data-dir=${profile}`, ...more],
    defaultViewport: viewport,
  });
}
