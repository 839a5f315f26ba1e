// The editor page driven in headless Chromium against a real `warp2d edit`:
// draw a closed shape, drag its destination and see the content move in the
// preview sampled from the page; undo and redo bring each preview back; save
// then open gives the same scene; edits under zoom and pan land in image
// space; a browser without the token is refused.
//
// WARP2D names the warp2d binary; CHROMIUM the browser (default
// /usr/bin/chromium). The picture is warp2d demo's input: a checkerboard of
// 48-pixel cells, so points at cell centres sit in flat colour.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const warp2d = process.env.WARP2D;
const dir = mkdtempSync(join(tmpdir(), 'warp2d-browser-'));
let server, url, browser, page;

before(async () => {
  execFileSync(warp2d, ['demo', '-q', '-o', dir]);
  server = spawn(warp2d, ['edit', join(dir, 'input.png'), '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  url = await new Promise((ok, fail) => {
    let out = '';
    server.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/http:\/\/127\.0\.0\.1:\d+\/\?token=\w+/);
      if (m) ok(m[0]);
    });
    server.on('exit', (code) => fail(new Error(`warp2d edit exited with ${code}`)));
  });
  browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
  // A high-DPI screen: the page works in CSS pixels on a device-pixel canvas.
  page = await browser.newPage({ viewport: { width: 1400, height: 900 }, deviceScaleFactor: 2 });
  await page.goto(url);
  await settled();
});

after(async () => {
  await browser?.close();
  if (server && server.exitCode === null) {
    const stopped = new Promise((ok) => server.on('exit', ok));
    server.kill('SIGINT');
    assert.equal(await stopped, 0, 'Ctrl-C stops the editor cleanly');
  }
  rmSync(dir, { recursive: true, force: true });
});

// Waits until the preview shows the current edit at full resolution.
const settled = () => page.waitForFunction(() => {
  const s = window.warp2d.state, f = window.warp2d.frame;
  return s && f && !window.warp2d.busy && f.version === s.version && f.level === 0;
}, null, { timeout: 60000 });
// Runs `action`, then waits for the edit it makes and its settled preview.
async function edited(action) {
  const v = await page.evaluate(() => window.warp2d.state.version);
  await action();
  await page.waitForFunction((old) => window.warp2d.state.version > old, v);
  await settled();
}
const toPage = (p) => page.evaluate((q) => window.warp2d.toPage(q), p);
const output = (p) => page.evaluate((q) => window.warp2d.sampleOutput(...q), p);
const input = (p) => page.evaluate((q) => window.warp2d.sampleInput(...q), p);
const near = (a, b) => a.slice(0, 3).every((v, i) => Math.abs(v - b[i]) <= 24);

const corners = [[408, 168], [840, 168], [840, 552], [408, 552]];
const from = [840, 552], to = [888, 552];  // one cell right: the other shade

test('a drawn shape, completed and dragged, carries the content in the preview', async () => {
  await page.click('#modeDraw');
  for (const c of corners) await page.mouse.click(...await toPage(c));
  await page.mouse.click(...await toPage(corners[0]));  // the first point closes the shape
  await page.waitForFunction(() => window.warp2d.state.scene.shapes.length === 1);
  const shape = await page.evaluate(() => window.warp2d.state.scene.shapes[0]);
  assert.equal(shape.source.closed, true);
  assert.deepEqual(shape.destination, shape.source, 'completing makes the destination a copy');
  await settled();
  assert.ok(near(await output(to), await input(to)), 'an unmoved shape warps nothing');
  assert.ok(!near(await input(from), await input(to)), 'the test points differ in the picture');

  await page.click('#modeEdit');
  const [a, b] = [await toPage(from), await toPage(to)];
  await page.mouse.move(...a);
  await page.mouse.down();
  for (let i = 1; i <= 8; ++i) await page.mouse.move(a[0] + (b[0] - a[0]) * i / 8, a[1] + (b[1] - a[1]) * i / 8);
  await page.mouse.up();
  // The server's answer to the last move, then its preview.
  await page.waitForFunction((p) => {
    const q = window.warp2d.state.scene.shapes[0].destination.points[2].point;
    return Math.round(q[0]) === p[0] && Math.round(q[1]) === p[1];
  }, to);
  await settled();
  assert.ok(near(await output(to), await input(from)), 'the corner\'s content arrived where it was dragged');
});

test('undo and redo restore the previous previews', async () => {
  const dragged = await output(to);
  await edited(() => page.click('#undo'));
  assert.ok(near(await output(to), await input(to)), 'undo shows the unmoved preview');
  await edited(() => page.keyboard.press('Control+Shift+Z'));
  assert.deepEqual(await output(to), dragged, 'redo shows the dragged preview again');
});

test('save then open gives the same scene', async () => {
  const scene = await page.evaluate(() => window.warp2d.state.scene);
  await page.fill('#scenePath', join(dir, 'edited.json'));
  await page.click('#save');
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('saved'));
  await edited(() => page.click('#open'));
  assert.deepEqual(await page.evaluate(() => window.warp2d.state.scene), scene);
  execFileSync(warp2d, ['check', join(dir, 'edited.json')]);  // and a render node reads it
});

test('links are added on the source, paired on the destination, and deleted', async () => {
  const links = () => page.evaluate(() => ['source', 'destination'].map((w) => window.warp2d.state.scene.shapes[0][w].links));
  await page.click('#modeLink');
  await edited(async () => page.mouse.click(...await toPage([624, 168])));  // middle of the first side
  assert.deepEqual(await links(), [[0.5], [0.5]]);
  await page.keyboard.down('Alt');
  await edited(async () => page.mouse.click(...await toPage([624, 168])));
  await page.keyboard.up('Alt');
  assert.deepEqual(await links(), [[], []]);
});

test('zoom and pan keep editing exact in image space', async () => {
  const view = () => page.evaluate(() => window.warp2d.view);
  // The image point under page point q, from the page's own transform.
  const under = async (q) => {
    const o = await toPage([-0.5, -0.5]), { scale } = await view();
    return q.map((v, k) => (v - o[k]) / scale - 0.5);
  };
  const close = (p, q, tol, what) => p.forEach((v, k) => assert.ok(Math.abs(v - q[k]) <= tol, `${what}: ${p} is ${q}`));
  await page.click('#modeEdit');
  const fitted = await view();
  const corner = [408, 168];  // destination point 0, on top of its source twin
  const a = (await toPage(corner)).map(Math.round), pinned = await under(a);
  await page.mouse.move(...a);
  await page.mouse.wheel(0, -600);  // device pixels: -300 in the page
  await page.waitForFunction((z) => window.warp2d.view.zoom > z * 1.5, fitted.zoom);
  const zoomed = await view();
  close(await under(a), pinned, 1e-6, 'about the cursor');
  // Middle-button drag pans by the screen distance.
  await page.mouse.down({ button: 'middle' });
  await page.mouse.move(a[0] - 100, a[1] + 60, { steps: 4 });
  await page.mouse.up({ button: 'middle' });
  const panned = await view();
  assert.deepEqual([panned.x - zoomed.x, panned.y - zoomed.y, panned.scale], [-100, 60, zoomed.scale]);

  // A handle drag under zoom moves the point by the screen distance / zoom.
  const b = (await toPage(corner)).map(Math.round), d = [45, -30], start = await under(b);
  await page.mouse.move(...b);
  await page.mouse.down();
  await page.mouse.move(b[0] + d[0], b[1] + d[1], { steps: 5 });
  await page.mouse.up();
  await page.waitForFunction(() => !window.warp2d.busy);
  await settled();
  const shape = await page.evaluate(() => window.warp2d.state.scene.shapes[0]);
  close(shape.destination.points[0].point, start.map((v, k) => v + d[k] / panned.scale), 0.006, 'dragged point');
  assert.deepEqual(shape.source.points[0].point, corner, 'the source twin stays');

  await page.keyboard.press('1');
  assert.equal((await view()).zoom, 1, '1 shows one image pixel per device pixel');
  await page.keyboard.press('f');
  assert.deepEqual(await view(), fitted, 'F fits as on opening');
});

test('a browser without the token is refused', async () => {
  const other = await browser.newContext();
  const bare = await other.newPage();
  const answer = await bare.goto(url.replace(/\?token=\w+/, ''));
  assert.equal(answer.status(), 403);
  const api = await bare.goto(new URL('/api/state', url).href);
  assert.equal(api.status(), 403);
  await other.close();
});
