// Drives Debian's chromium for test_cli_batch_serve.py: one JSON command a
// line on stdin, one JSON answer a line on stdout.
//   {"open": URL}   loads the page
//   {"read": true}  what the page shows, as the test compares it
//   {"shot": PATH}  a PNG of the page
import { chromium } from 'playwright-core';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';

const profile = mkdtempSync(join(tmpdir(), 'dtu-chromium-'));
// A fresh profile each run: playwright passes it as --user-data-dir.
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  viewport: { width: 1600, height: 900 },
});
const page = await browser.newPage();
const problems = [];
page.on('console', (m) => { if (m.type() === 'error') problems.push(m.text()); });
page.on('pageerror', (e) => problems.push(String(e)));

function read() {
  const text = (root, key) => {
    const node = root.querySelector(`[data-k="${key}"]`);
    return node ? node.textContent : null;
  };
  const status = document.getElementById('status');
  return {
    status: status.className.replace('status', '').trim(),
    renders: window.renders,
    state: document.getElementById('state').textContent,
    when: document.getElementById('when').textContent,
    batches: [...document.querySelectorAll('section.batch')].map((s) => ({
      batch: s.dataset.batch,
      done: text(s, 'done'),
      rows: text(s, 'rows'),
      per_hour: text(s, 'per_hour'),
      left: text(s, 'left'),
      stations: [...s.querySelectorAll('tr[data-station]')].map((r) => ({
        station: r.dataset.station, done: text(r, 'done'), failed: text(r, 'failed'),
        yield: text(r, 'yield'), last_result: text(r, 'last_result'), last: text(r, 'last'),
        silent: text(r, 'silent') })),
      failures: [...s.querySelectorAll('[data-cause]')].map((c) => ({
        cause: c.dataset.cause, units: text(c, 'units') })),
      in_doubt_rows: [...s.querySelectorAll('[data-k="in_doubt_rows"] tr[data-row]')].map((r) => ({
        row: text(r, 'row'), station: text(r, 'station'), port: text(r, 'port') })),
      held_rows: [...s.querySelectorAll('[data-k="held_rows"] tr[data-row]')].map((r) => ({
        row: text(r, 'row'), station: text(r, 'station'), port: text(r, 'port') })),
    })),
  };
}

const answer = (value) => process.stdout.write(JSON.stringify(value) + '\n');
for await (const line of createInterface({ input: process.stdin })) {
  const command = JSON.parse(line);
  try {
    if (command.open) {
      const response = await page.goto(command.open);
      // Counts the times the figures were put on the page.
      await page.evaluate(() => {
        window.renders = 0;
        new MutationObserver(() => { window.renders += 1; })
          .observe(document.getElementById('batches'), { childList: true });
      });
      answer({ status: response.status(), problems });
    } else if (command.read) {
      answer({ page: await page.evaluate(read), problems });
    } else if (command.shot) {
      await page.screenshot({ path: command.shot, fullPage: true });
      answer({ ok: true });
    }
  } catch (e) {
    answer({ error: String(e) });
  }
}
await browser.close();
rmSync(profile, { recursive: true, force: true });
