// Takes the README's pictures of the editor: warp2d demo's scene opened in
// `warp2d edit`, one destination point dragged further, the warped grid
// shown; then the same half-way between input and output with the fold map.
//   node screenshot.mjs PATH/TO/warp2d OUT_DIR
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const [warp2d, out] = process.argv.slice(2);
const dir = mkdtempSync(join(tmpdir(), 'warp2d-shots-'));
execFileSync(warp2d, ['demo', '-q', '-o', dir]);
const server = spawn(warp2d, ['edit', join(dir, 'scene.json')], { stdio: ['ignore', 'pipe', 'inherit'] });
const url = await new Promise((ok) => {
  let text = '';
  server.stdout.on('data', (d) => {
    text += d;
    const m = text.match(/http:\/\/127\.0\.0\.1:\d+\/\?token=\w+/);
    if (m) ok(m[0]);
  });
});
const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 760 } });
  await page.goto(url);
  const settled = () => page.waitForFunction(() => {
    const s = window.warp2d.state, f = window.warp2d.frame;
    return s && f && !window.warp2d.busy && f.version === s.version && f.level === 0;
  }, null, { timeout: 60000 });
  await settled();
  // Select the disc and pull its top point up and to the left.
  await page.click('#shapeList li:first-child span');
  const top = await page.evaluate(() => window.warp2d.state.scene.shapes[0].destination.points[3].point);
  const a = await page.evaluate((p) => window.warp2d.toPage(p), top);
  const b = await page.evaluate((p) => window.warp2d.toPage([p[0] - 60, p[1] - 50]), top);
  await page.mouse.move(...a);
  await page.mouse.down();
  for (let i = 1; i <= 10; ++i) await page.mouse.move(a[0] + (b[0] - a[0]) * i / 10, a[1] + (b[1] - a[1]) * i / 10);
  await page.mouse.up();
  await page.waitForTimeout(300);
  await settled();
  await page.check('#showGrid');
  await page.screenshot({ path: join(out, 'editor.png') });
  await page.uncheck('#showGrid');
  await page.fill('#blend', '0.5');
  await page.dispatchEvent('#blend', 'input');
  await page.check('#showFolds');
  await page.screenshot({ path: join(out, 'editor-blend.png') });
} finally {
  await browser.close();
  server.kill('SIGINT');
  rmSync(dir, { recursive: true, force: true });
}
