// The editor page: draws the shapes over the picture, turns mouse gestures
// into operations of the server's JSON API, and shows the preview frames
// the server renders. The server holds the scene on a "Warp 2D" node whose
// command stack is the history; the page only mirrors the last state it was
// sent, read back from the node, so an undo here is the host's.
//
// Coordinates: everything is in full-resolution image pixels (pixel (x, y)
// centred on the integer point, y down), as in the scene file; `view`
// maps them to the canvas in CSS pixels, and toScreen/toImage are the only
// place the two meet: every pointer event and every draw goes through them,
// so zoom and pan never disturb editing. The canvas's backing store is in
// device pixels (drawn through a devicePixelRatio transform) so lines stay
// sharp. Curves are kept as the scene file writes them: points
// {point, in, out} with handles as offsets from their point, links as
// curve parameters in [0, n].
'use strict';

const token = new URLSearchParams(location.search).get('token') || sessionStorage.getItem('warp2dToken') || '';
sessionStorage.setItem('warp2dToken', token);

const $ = (id) => document.getElementById(id);
const canvas = $('view');
const ctx = canvas.getContext('2d');
const HIT = 8;  // CSS pixels at any zoom, like the handle sizes

let state = null;          // the server's last answer to /api/state or an edit
let selected = null;       // shape id
let mode = 'edit';
let drawing = null;        // {points: [...]} while a shape is drawn
let drag = null;           // what the mouse moves
let gestureCounter = Date.now() % 1000000;
const images = { input: null, output: null, grid: null, folds: null, frame: null };
let view = { scale: 1, x: 0, y: 0 };  // screen = view.x/y + image * view.scale
let spaceDown = false;     // Space held: a left drag pans

// ---- server -----------------------------------------------------------

async function api(path, body) {
  const r = await fetch(path, {
    method: body === undefined ? 'GET' : 'POST',
    headers: { 'X-Warp2d-Token': token, 'Content-Type': 'application/json' },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const answer = await r.json();
  if (!r.ok) throw new Error(answer.error || r.statusText);
  return answer;
}

function report(error) {
  $('status').textContent = error ? String(error.message || error) : '';
  $('status').className = error ? 'error' : '';
}

async function apply(promise) {
  try {
    setState(await promise);
    report(null);
  } catch (e) {
    report(e);
    setState(await api('api/state'));
  }
}

const edit = (op) => apply(api('api/edit', op));

// Drag edits: at most one request in flight, the newest pending one sent
// when it returns, so the server never queues stale positions.
let inFlight = false, pending = null;
function editLive(op) {
  pending = op;
  if (inFlight) return;
  const next = () => {
    if (!pending) { inFlight = false; return; }
    const o = pending; pending = null; inFlight = true;
    api('api/edit', o).then((s) => { setState(s, true); report(null); }, report).finally(next);
  };
  next();
}

function toRgbaImage(buffer, offset, w, h, colour) {
  const img = new ImageData(w, h);
  const src = new Uint8Array(buffer, offset, colour ? w * h : w * h * 4);
  if (!colour) img.data.set(src);
  else for (let i = 0; i < w * h; ++i) if (src[i]) img.data.set(colour, 4 * i);
  const c = document.createElement('canvas');
  c.width = w; c.height = h;
  c.getContext('2d').putImageData(img, 0, 0);
  return c;
}

async function loadInput() {
  const r = await fetch('api/input', { headers: { 'X-Warp2d-Token': token } });
  const f = JSON.parse(r.headers.get('X-Frame'));
  images.input = { canvas: toRgbaImage(await r.arrayBuffer(), 0, f.w, f.h), x: f.x, y: f.y, w: f.w, h: f.h };
  resize();
  fit();
}

// Long poll: the next frame the server finishes, forever.
async function frameLoop() {
  let after = -1;
  for (;;) {
    try {
      const r = await fetch(`api/frame?after=${after}&wait=10000`, { headers: { 'X-Warp2d-Token': token } });
      if (r.status === 204) continue;
      if (!r.ok) throw new Error(`preview: ${r.status}`);
      const f = JSON.parse(r.headers.get('X-Frame'));
      const buf = await r.arrayBuffer();
      const n = f.w * f.h;
      after = f.serial;
      images.frame = f;
      if (f.error) { report(new Error('render failed: ' + f.error)); continue; }
      images.output = toRgbaImage(buf, 0, f.w, f.h);
      images.grid = n && buf.byteLength >= 5 * n ? toRgbaImage(buf, 4 * n, f.w, f.h, [255, 255, 255, 150]) : null;
      images.folds = n && buf.byteLength >= 6 * n ? toRgbaImage(buf, 5 * n, f.w, f.h, [255, 0, 0, 200]) : null;
      redraw();
    } catch (e) {
      report(e);
      await new Promise((ok) => setTimeout(ok, 1000));
    }
  }
}

// ---- curves -----------------------------------------------------------

const add = (a, b) => [a[0] + b[0], a[1] + b[1]];
const sub = (a, b) => [a[0] - b[0], a[1] - b[1]];
const dist = (a, b) => Math.hypot(a[0] - b[0], a[1] - b[1]);
const segments = (c) => c.points.length - (c.closed ? 0 : 1);

// The point at curve parameter t (segment floor(t), cubic in t - floor(t)).
function evalCurve(c, t) {
  const n = segments(c);
  const i = Math.min(Math.floor(t), n - 1), u = t - i;
  const a = c.points[i], b = c.points[(i + 1) % c.points.length];
  const p0 = a.point, p1 = add(a.point, a.out), p2 = add(b.point, b.in), p3 = b.point;
  const v = 1 - u;
  return [0, 1].map((k) => v * v * v * p0[k] + 3 * v * v * u * p1[k] + 3 * v * u * u * p2[k] + u * u * u * p3[k]);
}

// The curve parameter nearest to p, and its distance (sampled finely
// enough for picking at screen resolution).
function nearestParam(c, p) {
  let best = { t: 0, d: Infinity };
  const n = segments(c), steps = 48;
  for (let s = 0; s <= n * steps; ++s) {
    const t = s / steps, d = dist(evalCurve(c, Math.min(t, n)), p);
    if (d < best.d) best = { t: Math.min(t, n), d };
  }
  return best;
}

function traceCurve(c) {
  const pts = c.points;
  ctx.beginPath();
  const m = toScreen(pts[0].point);
  ctx.moveTo(m[0], m[1]);
  for (let i = 0; i < segments(c); ++i) {
    const a = pts[i], b = pts[(i + 1) % pts.length];
    const p1 = toScreen(add(a.point, a.out)), p2 = toScreen(add(b.point, b.in)), p3 = toScreen(b.point);
    ctx.bezierCurveTo(p1[0], p1[1], p2[0], p2[1], p3[0], p3[1]);
  }
  if (c.closed) ctx.closePath();
}

const curveOf = (shape, which) => (which === 'destination' ? shape.destination || shape.source : shape.source);

// The scene file's short forms spelled out: a point may be a bare [x, y],
// handles and links may be left out, and a curve is closed unless it says.
function normalCurve(c) {
  const pt = (p) => (Array.isArray(p) ? { point: p, in: [0, 0], out: [0, 0] }
    : { point: p.point, in: p.in || [0, 0], out: p.out || [0, 0] });
  return { closed: c.closed !== false, points: c.points.map(pt), links: c.links || [] };
}

// ---- view -------------------------------------------------------------

// Zoom is counted in device pixels per image pixel, so 100% shows one image
// pixel on one pixel of the screen on a high-DPI display too.
const ZOOM_MIN = 1 / 32, ZOOM_MAX = 32;
const dpr = () => window.devicePixelRatio || 1;
const zoom = () => view.scale * dpr();
let cssSize = [canvas.width, canvas.height];  // the canvas's box in CSS pixels

// Sizes the canvas to its box in device pixels; the image point at the
// centre stays at the centre.
function resize() {
  const centre = toImage(viewCentre());
  const r = canvas.getBoundingClientRect();
  canvas.width = Math.max(1, Math.round(r.width * dpr()));
  canvas.height = Math.max(1, Math.round(r.height * dpr()));
  cssSize = [r.width, r.height];
  const [w, h] = cssSize;
  view.x = w / 2 - (centre[0] + 0.5) * view.scale;
  view.y = h / 2 - (centre[1] + 0.5) * view.scale;
  redraw();
}

function fit() {
  const im = images.input, [w, h] = cssSize;
  if (!im) return;
  const s = Math.min(w / im.w, h / im.h) * 0.95;
  view = { scale: s, x: (w - im.w * s) / 2 - im.x * s, y: (h - im.h * s) / 2 - im.y * s };
  redraw();
}

// Sets the zoom keeping the image point under screen point q in place.
function zoomAbout(q, z) {
  const p = toImage(q);
  view.scale = Math.min(ZOOM_MAX, Math.max(ZOOM_MIN, z)) / dpr();
  view.x = q[0] - (p[0] + 0.5) * view.scale;
  view.y = q[1] - (p[1] + 0.5) * view.scale;
  redraw();
}
const viewCentre = () => cssSize.map((v) => v / 2);

const toScreen = (p) => [view.x + (p[0] + 0.5) * view.scale, view.y + (p[1] + 0.5) * view.scale];
const toImage = (q) => [(q[0] - view.x) / view.scale - 0.5, (q[1] - view.y) / view.scale - 0.5];

function drawLayer(c, x, y, w, h, alpha) {
  ctx.globalAlpha = alpha;
  ctx.drawImage(c, view.x + x * view.scale, view.y + y * view.scale, w * view.scale, h * view.scale);
  ctx.globalAlpha = 1;
}

function redraw() {
  ctx.setTransform(1, 0, 0, 1, 0, 0);
  ctx.fillStyle = '#202124';
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  ctx.setTransform(dpr(), 0, 0, dpr(), 0, 0);
  // Magnified, the pixels show as squares, as an artist checking detail wants.
  ctx.imageSmoothingEnabled = zoom() < 1;
  const blend = +$('blend').value, f = images.frame, im = images.input;
  if (im) drawLayer(im.canvas, im.x, im.y, im.w, im.h, 1);
  if (f && images.output) {
    const k = 2 ** f.level;
    const layer = (c, a) => drawLayer(c, f.x * k, f.y * k, f.w * k, f.h * k, a);
    layer(images.output, blend);
    if ($('showGrid').checked && images.grid) layer(images.grid, 1);
    if ($('showFolds').checked && images.folds) layer(images.folds, 1);
  }
  if ($('showShapes').checked && state) drawShapes();
  if (drawing) drawDrawing();
  const shown = f ? `preview v${f.version}${f.level ? ` at 1/${2 ** f.level}` : ''}` : 'no preview yet';
  $('hint').textContent = hints[mode] + (state ? `  —  edit v${state.version}, ${shown}` : '');
  const z = zoom() * 100;
  $('zoom').textContent = `${z >= 10 ? Math.round(z) : z.toFixed(1)}%`;
}

function handleDots(c, colour) {
  ctx.fillStyle = colour;
  ctx.strokeStyle = colour;
  for (const p of c.points) {
    const s = toScreen(p.point);
    for (const h of [p.in, p.out]) {
      if (h[0] === 0 && h[1] === 0) continue;
      const q = toScreen(add(p.point, h));
      ctx.beginPath(); ctx.moveTo(s[0], s[1]); ctx.lineTo(q[0], q[1]); ctx.stroke();
      ctx.beginPath(); ctx.arc(q[0], q[1], 3, 0, 7); ctx.fill();
    }
    ctx.fillRect(s[0] - 4, s[1] - 4, 8, 8);
  }
}

function drawShapes() {
  state.scene.shapes.forEach((shape, i) => {
    const meta = state.shapes[i];
    if (!meta.visible) return;
    const sel = meta.id === selected;
    const src = shape.source, dst = curveOf(shape, 'destination');
    ctx.lineWidth = sel ? 2 : 1;
    ctx.setLineDash([4, 3]);
    ctx.strokeStyle = '#00e5ff'; traceCurve(src); ctx.stroke();
    ctx.setLineDash([]);
    ctx.strokeStyle = '#ffd600'; traceCurve(dst); ctx.stroke();
    ctx.lineWidth = 1;
    if (sel) { handleDots(src, '#00e5ff'); handleDots(dst, '#ffd600'); }
    const sl = src.links || [], dl = dst.links || [];
    for (let k = 0; k < Math.min(sl.length, dl.length); ++k) {
      const a = toScreen(evalCurve(src, sl[k])), b = toScreen(evalCurve(dst, dl[k]));
      ctx.strokeStyle = '#ff40ff';
      ctx.beginPath(); ctx.moveTo(a[0], a[1]); ctx.lineTo(b[0], b[1]); ctx.stroke();
      ctx.fillStyle = '#ff40ff';
      for (const q of [a, b]) { ctx.beginPath(); ctx.arc(q[0], q[1], 4, 0, 7); ctx.fill(); }
    }
  });
}

function drawDrawing() {
  if (drawing.points.length === 0) return;
  ctx.strokeStyle = '#00e5ff';
  traceCurve({ points: drawing.points, closed: false });
  ctx.stroke();
  handleDots({ points: drawing.points }, '#00e5ff');
}

const hints = {
  edit: 'Drag points and handles (Shift breaks a handle pair).',
  draw: 'Click to add points, drag to pull tangents; click the first point to close, Enter to finish open, Esc to cancel.',
  link: 'Click the selected source curve to add a link; drag a link end to move it, Alt+click to delete it.',
};

// ---- state into the panels --------------------------------------------

const plain = (v, fallback) => (v === undefined ? fallback : v && typeof v === 'object' && v.keys ? v.keys[0].value : v);

function setState(s, fromDrag) {
  state = s;
  for (const shape of state.scene.shapes) {
    shape.source = normalCurve(shape.source);
    shape.destination = normalCurve(shape.destination || shape.source);
  }
  if (!state.shapes.some((m) => m.id === selected)) selected = state.shapes.length ? state.shapes.at(-1).id : null;
  $('undo').disabled = !state.canUndo;
  $('redo').disabled = !state.canRedo;
  $('undo').title = state.undoName ? `Undo ${state.undoName} (Ctrl+Z)` : 'Nothing to undo';
  $('redo').title = state.redoName ? `Redo ${state.redoName} (Ctrl+Shift+Z, Ctrl+Y)` : 'Nothing to redo';
  if (document.activeElement !== $('scenePath')) $('scenePath').value = state.path;
  if (!fromDrag) fillPanels();
  redraw();
}

function fillPanels() {
  const list = $('shapeList');
  list.textContent = '';
  state.scene.shapes.forEach((shape, i) => {
    const meta = state.shapes[i];
    const li = document.createElement('li');
    li.className = meta.id === selected ? 'selected' : '';
    const vis = document.createElement('input');
    vis.type = 'checkbox'; vis.checked = meta.visible; vis.title = 'Visible';
    vis.onchange = () => edit({ op: 'setShape', id: meta.id, set: { visible: vis.checked } });
    const name = document.createElement('span');
    name.textContent = shape.name || `Shape ${meta.id}`;
    name.onclick = () => { selected = meta.id; fillPanels(); redraw(); };
    name.ondblclick = () => {
      const n = prompt('Shape name', shape.name || '');
      if (n !== null) edit({ op: 'setShape', id: meta.id, set: { name: n } });
    };
    const button = (label, title, op) => {
      const b = document.createElement('button');
      b.textContent = label; b.title = title; b.onclick = () => edit(op);
      return b;
    };
    li.append(vis, name,
      button('▲', 'Move up', { op: 'moveShape', id: meta.id, to: Math.max(0, i - 1) }),
      button('▼', 'Move down', { op: 'moveShape', id: meta.id, to: Math.min(state.shapes.length - 1, i + 1) }),
      button('dup', 'Duplicate', { op: 'duplicateShape', id: meta.id }),
      button('✕', 'Delete', { op: 'deleteShape', id: meta.id }));
    list.append(li);
  });
  const at = state.shapes.findIndex((m) => m.id === selected);
  $('shapeProps').hidden = at < 0;
  if (at >= 0) {
    const shape = state.scene.shapes[at];
    $('shapeName').value = shape.name || '';
    $('shapeFence').checked = !!plain(shape.Fence, false);
    $('shapeSmoothing').value = plain(shape.Smoothing, 'Bidirectional');
    $('shapeInterpolation').value = plain(shape.Interpolation, 1);
  }
  const p = state.scene.parameters || {};
  $('pQuality').value = plain(p.Quality, 1);
  $('pSmoothing').value = plain(p.Smoothing, 'Skew');
  $('pBoundary').value = plain(p.Boundary, 'Fixed');
  $('pFilter').value = plain(p.Filter, 'Bilinear');
  $('pTiming').value = plain(p.Timing, 'Global');
  $('pInterpolation').value = plain(p.Interpolation, 1);
  $('pInvert').checked = !!plain(p['Invert Warp'], false);
}

function bindPanels() {
  const shapeSet = (set) => selected !== null && edit({ op: 'setShape', id: selected, set });
  $('shapeName').onchange = (e) => shapeSet({ name: e.target.value });
  $('shapeFence').onchange = (e) => shapeSet({ Fence: e.target.checked });
  $('shapeSmoothing').onchange = (e) => shapeSet({ Smoothing: e.target.value });
  // A slider drag is one gesture: one undo step, proxy previews on the way.
  let sliderGesture = 0;
  const startGesture = () => { sliderGesture = ++gestureCounter; };
  $('shapeInterpolation').onpointerdown = startGesture;
  $('shapeInterpolation').oninput = (e) => selected !== null &&
    editLive({ op: 'setShape', id: selected, gesture: sliderGesture, set: { Interpolation: +e.target.value } });
  const param = (id, key, read) => { $(id).onchange = (e) => edit({ op: 'setParameters', set: { [key]: read(e.target) } }); };
  param('pQuality', 'Quality', (t) => +t.value);
  param('pSmoothing', 'Smoothing', (t) => t.value);
  param('pBoundary', 'Boundary', (t) => t.value);
  param('pFilter', 'Filter', (t) => t.value);
  param('pTiming', 'Timing', (t) => t.value);
  param('pInvert', 'Invert Warp', (t) => t.checked);
  $('pInterpolation').onpointerdown = startGesture;
  $('pInterpolation').oninput = (e) =>
    editLive({ op: 'setParameters', gesture: sliderGesture, set: { Interpolation: +e.target.value } });
  $('pInterpolation').onchange = () => setTimeout(fillPanels, 0);
  for (const id of ['blend', 'showShapes', 'showGrid', 'showFolds']) $(id).oninput = redraw;
  $('undo').onclick = () => apply(api('api/undo', {}));
  $('redo').onclick = () => apply(api('api/redo', {}));
  $('save').onclick = () => api('api/save', { path: $('scenePath').value }).then(
    (r) => { report(null); $('status').textContent = `saved ${r.path}`; }, report);
  $('open').onclick = () => apply(api('api/open', { path: $('scenePath').value })).then(loadInput);
  $('finishOpen').onclick = () => finishDrawing(false);
  $('zoomFit').onclick = fit;
  $('zoom100').onclick = () => zoomAbout(viewCentre(), 1);
  for (const m of ['edit', 'draw', 'link']) $(`mode${m[0].toUpperCase()}${m.slice(1)}`).onclick = () => setMode(m);
}

function setMode(m) {
  mode = m;
  if (m !== 'draw') drawing = null;
  for (const b of document.querySelectorAll('button.mode')) b.classList.toggle('active', b.id.toLowerCase() === `mode${m}`);
  redraw();
}

// ---- mouse ------------------------------------------------------------

const eventPoint = (e) => {
  const r = canvas.getBoundingClientRect();
  return [e.clientX - r.left, e.clientY - r.top];
};
const round2 = (v) => Math.round(v * 100) / 100;
const rounded = (p) => [round2(p[0]), round2(p[1])];

function finishDrawing(closed) {
  if (!drawing || drawing.points.length < 2) return;
  const source = { closed, points: drawing.points.map((p) => ({ point: rounded(p.point), in: rounded(p.in), out: rounded(p.out) })) };
  drawing = { points: [] };
  edit({ op: 'createShape', source });
}

// What lies under the mouse, of the selected shape first and then the
// others, destination before source: control points and handles, or, when
// `links` is set, link ends (links often sit on control points, so which
// one a click means is the mode's choice).
function pick(q, links) {
  if (!state) return null;
  const order = state.shapes.map((m, i) => i).filter((i) => state.shapes[i].visible);
  order.sort((a, b) => (state.shapes[b].id === selected) - (state.shapes[a].id === selected));
  for (const i of order) {
    const shape = state.scene.shapes[i], id = state.shapes[i].id;
    for (const which of ['destination', 'source']) {
      const c = curveOf(shape, which);
      if (links) {
        for (let k = 0; k < c.links.length; ++k)
          if (dist(toScreen(evalCurve(c, c.links[k])), q) < HIT) return { id, i, which, link: k };
        continue;
      }
      if (id !== selected && which === 'source') continue;
      for (let p = 0; p < c.points.length; ++p) {
        const pt = c.points[p];
        if (dist(toScreen(pt.point), q) < HIT) return { id, i, which, point: p, part: 'point' };
        for (const part of ['in', 'out'])
          if ((pt[part][0] || pt[part][1]) && dist(toScreen(add(pt.point, pt[part])), q) < HIT)
            return { id, i, which, point: p, part };
      }
    }
  }
  return null;
}

canvas.addEventListener('pointerdown', (e) => {
  const q = eventPoint(e), p = toImage(q);
  canvas.setPointerCapture(e.pointerId);
  if (e.button === 1 || (e.button === 0 && spaceDown)) {
    e.preventDefault();  // no autoscroll on the middle button
    drag = { kind: 'pan', from: q, x: view.x, y: view.y };
    canvas.style.cursor = 'grabbing';
    return;
  }
  if (e.button !== 0) return;
  if (mode === 'draw') {
    drawing = drawing || { points: [] };
    const pts = drawing.points;
    if (pts.length >= 3 && dist(toScreen(pts[0].point), q) < HIT) return finishDrawing(true);
    pts.push({ point: p, in: [0, 0], out: [0, 0] });
    drag = { kind: 'newPoint' };
  } else {
    // Edit mode moves points and handles; link mode moves link ends, deletes
    // one on Alt+click, and adds one where the selected source is clicked.
    const hit = pick(q, mode === 'link');
    if (!hit && mode === 'link') return addLink(p);
    if (!hit) return;
    if (hit.id !== selected) { selected = hit.id; fillPanels(); }
    const shape = structuredClone(state.scene.shapes[hit.i]);
    if (hit.link !== undefined && e.altKey) {
      for (const w of ['source', 'destination']) shape[w].links.splice(hit.link, 1);
      edit({ op: 'setShape', id: hit.id, set: { source: shape.source, destination: shape.destination } });
      return;
    }
    drag = { kind: 'shape', hit, shape, start: p, gesture: ++gestureCounter };
  }
  redraw();
});

function addLink(p) {
  const i = state.shapes.findIndex((m) => m.id === selected);
  if (i < 0) return;
  const shape = structuredClone(state.scene.shapes[i]);
  const near = nearestParam(shape.source, p);
  if (near.d * view.scale > HIT) return;
  // Source and destination start as copies, so the same parameter is the
  // matching place on the destination.
  shape.source.links.push(round2(near.t));
  shape.destination.links.push(round2(Math.min(near.t, segments(shape.destination))));
  edit({ op: 'setShape', id: selected, set: { source: shape.source, destination: shape.destination } });
}

canvas.addEventListener('pointermove', (e) => {
  if (!drag) return;
  const q = eventPoint(e), p = toImage(q);
  if (drag.kind === 'pan') {
    view.x = drag.x + q[0] - drag.from[0];
    view.y = drag.y + q[1] - drag.from[1];
    redraw();
    return;
  }
  if (drag.kind === 'newPoint') {
    // Dragging while adding a point pulls a smooth tangent through it.
    const pt = drawing.points.at(-1);
    pt.out = sub(p, pt.point);
    pt.in = sub(pt.point, p);
    redraw();
    return;
  }
  const { hit, shape } = drag;
  const c = shape[hit.which];
  if (hit.link !== undefined) {
    c.links[hit.link] = round2(nearestParam(c, p).t);
  } else if (hit.part === 'point') {
    c.points[hit.point].point = rounded(p);
  } else {
    c.points[hit.point][hit.part] = rounded(sub(p, c.points[hit.point].point));
    if (!e.shiftKey) {  // handles stay opposite unless Shift breaks them
      const other = hit.part === 'in' ? 'out' : 'in';
      const len = Math.hypot(...c.points[hit.point][other]);
      const h = c.points[hit.point][hit.part], l = Math.hypot(...h) || 1;
      if (len > 0) c.points[hit.point][other] = rounded([-h[0] / l * len, -h[1] / l * len]);
    }
  }
  state.scene.shapes[hit.i] = structuredClone(shape);  // shown at once; the server's answer follows
  redraw();
  editLive({ op: 'setShape', id: hit.id, gesture: drag.gesture, set: { [hit.which]: c } });
});

canvas.addEventListener('pointerup', () => {
  if (drag && drag.kind === 'shape') setTimeout(() => state && fillPanels(), 0);
  drag = null;
  canvas.style.cursor = spaceDown ? 'grab' : '';
});

// The wheel zooms about the cursor, the usual way of image viewers; a
// trackpad pinch arrives as a wheel with ctrlKey and zooms the same way,
// only with finer steps. A two-finger trackpad scroll zooms too: panning is
// the middle button or Space with the left one.
canvas.addEventListener('wheel', (e) => {
  e.preventDefault();
  const lines = e.deltaMode === 1 ? 16 : e.deltaMode === 2 ? 400 : 1;
  zoomAbout(eventPoint(e), zoom() * Math.exp(-e.deltaY * lines * (e.ctrlKey ? 0.01 : 0.002)));
}, { passive: false });

window.addEventListener('keydown', (e) => {
  if (e.target.tagName === 'INPUT' && (e.target.type === 'text' || e.target.type === 'number')) return;
  const key = e.key.toLowerCase();
  if ((e.ctrlKey || e.metaKey) && key === 'z') {
    e.preventDefault();
    (e.shiftKey ? $('redo') : $('undo')).click();
  } else if ((e.ctrlKey || e.metaKey) && key === 'y') {
    e.preventDefault();
    $('redo').click();
  } else if (key === 'enter' && mode === 'draw') finishDrawing(false);
  else if (key === 'escape') { drawing = null; redraw(); }
  else if (key === ' ') {
    e.preventDefault();
    spaceDown = true;
    if (!drag) canvas.style.cursor = 'grab';
  } else if (!e.ctrlKey && !e.metaKey && !e.altKey && (key === 'f' || key === 'home')) fit();
  else if (!e.ctrlKey && !e.metaKey && !e.altKey && key === '1') zoomAbout(viewCentre(), 1);
  else if (!e.ctrlKey && !e.metaKey && !e.altKey && { e: 1, d: 1, l: 1 }[key]) setMode({ e: 'edit', d: 'draw', l: 'link' }[key]);
});

const spaceUp = () => {
  spaceDown = false;
  if (!drag) canvas.style.cursor = '';
};
window.addEventListener('keyup', (e) => e.key === ' ' && spaceUp());
window.addEventListener('blur', spaceUp);
window.addEventListener('resize', resize);

// For tests and scripts: the output preview sampled at a full-resolution
// pixel, and what the page currently shows.
window.warp2d = {
  get state() { return state; },
  get frame() { return images.frame; },
  get busy() { return inFlight || pending !== null; },  // a drag's edits still on their way
  get view() { return { ...view, zoom: zoom() }; },  // zoom: device pixels per image pixel
  sampleOutput(x, y) {
    const f = images.frame;
    if (!f || !images.output) return null;
    const k = 2 ** f.level;
    const px = Math.floor((x + 0.5) / k) - f.x, py = Math.floor((y + 0.5) / k) - f.y;
    if (px < 0 || py < 0 || px >= f.w || py >= f.h) return null;
    return Array.from(images.output.getContext('2d').getImageData(px, py, 1, 1).data);
  },
  sampleInput(x, y) {
    const im = images.input;
    return im ? Array.from(im.canvas.getContext('2d').getImageData(x - im.x, y - im.y, 1, 1).data) : null;
  },
  // Page coordinates of an image point, for driving the mouse.
  toPage(p) {
    const r = canvas.getBoundingClientRect(), q = toScreen(p);
    return [r.left + q[0], r.top + q[1]];
  },
};

(async () => {
  bindPanels();
  setMode('edit');
  await loadInput();
  setState(await api('api/state'));
  frameLoop();
})().catch(report);
