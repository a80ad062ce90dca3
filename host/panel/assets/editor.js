// kvhost panel, the patch editor (`kvhost panel PATCH --edit`): module cards on a canvas the
// user drags, cables between jacks, the add-module search over the catalog, outputs, MIDI,
// voice groups, undo, redo and saving. Every change goes to the server as an `edit` message;
// the server checks it and sends every page the new structure (or says why not).
import {send} from './connection.js';
import {el, showError} from './dom.js';

const CARD_W = 210;
const COL_GAP = 70;
const ROW_GAP = 24;
const HEAD_H = 52;
const JACK_H = 21;
const REFUSAL_MS = 12000;
const RESULTS_SHOWN = 8;

// `dragging`: a card or cable is being dragged, so the canvas is drawn again only on its
// drop; `voicesShown`: the voice groups the form was filled from (kept while they stay).
const ed = {catalog: [], layout: null, edit: null, chosen: null, groups: 0, dragging: false,
            voicesShown: ''};

function edit(op, fields) {
  send({type: 'edit', op, ...fields});
}

const $ = (id) => document.getElementById(id);
// SVG elements in the namespace of the page's own <svg> (the page names no other site).
const svgElement = (tag) => document.createElementNS($('cables').namespaceURI, tag);

// ---- The catalog and the add-module search ------------------------------------------

export function setCatalog(list) {
  ed.catalog = list;
  showResults();
}

function showResults() {
  const words = $('add-search').value.trim().toLowerCase().split(/\s+/).filter(Boolean);
  const hits = ed.catalog.filter((d) => {
    const text = `${d.deliverable} ${d.name} ${d.id} ${d.kind}`.toLowerCase();
    return words.every((w) => text.includes(w));
  });
  $('add-results').replaceChildren(...hits.slice(0, RESULTS_SHOWN).map((d) => {
    const b = el('button', {type: 'button', class: 'result', 'data-deliverable': d.deliverable},
                 el('span', {text: d.deliverable}), el('span', {class: 'kind', text: d.kind}));
    b.classList.toggle('chosen', ed.chosen === d.deliverable);
    b.addEventListener('click', () => choose(d));
    return b;
  }));
}

function choose(d) {
  ed.chosen = d.deliverable;
  $('add-search').value = d.deliverable;
  if (!$('add-name').value) $('add-name').value = suggestedName(d.deliverable);
  showResults();
  $('add-name').focus();
  $('add-name').select();
}

function suggestedName(deliverable) {
  const base = deliverable.replace(/^[a-z]+[_ ]/i, '').replace(/\W+/g, '_').toLowerCase() || 'module';
  const taken = new Set(ed.edit.modules.map((m) => m.name));
  let name = base;
  for (let i = 2; taken.has(name); ++i) name = `${base}${i}`;
  return name;
}

function addModule() {
  const plugin = ed.chosen || $('add-search').value.trim();
  const name = $('add-name').value.trim();
  if (!plugin || !name) {
    showError('choose a module from the list and give it a name');
    return;
  }
  const right = Math.max(0, ...[...document.querySelectorAll('#canvas .node')]
    .map((n) => n.offsetLeft + n.offsetWidth));
  edit('add', {name, plugin, x: right === 0 ? 20 : right + COL_GAP, y: 20});
  $('add-name').value = '';
  ed.chosen = null;
}

// ---- Placing cards: their own place, else columns by wiring depth -----------------------

function depths(edit) {
  const depth = new Map(edit.modules.map((m) => [m.name, 0]));
  for (let pass = 0; pass < edit.modules.length; ++pass) {
    for (const w of edit.wires) {
      const d = depth.get(w.from[0]) + 1;
      if (w.from[0] !== w.to[0] && d > depth.get(w.to[0])) depth.set(w.to[0], d);
    }
  }
  return depth;
}

function places(edit, layout) {
  const depth = depths(edit);
  const columns = new Map();
  const at = new Map();
  for (const m of edit.modules) {
    if (m.ui) {
      at.set(m.name, {x: m.ui.x, y: m.ui.y});
      continue;
    }
    const d = depth.get(m.name);
    const y = columns.get(d) || 20;
    const lm = layout.modules.find((x) => x.name === m.name);
    columns.set(d, y + HEAD_H + JACK_H * jacksOf(lm).length + ROW_GAP);
    at.set(m.name, {x: 20 + d * (CARD_W + COL_GAP), y});
  }
  return at;
}

// ---- Cards and jacks --------------------------------------------------------------------

function jacksOf(module) {
  return module ? module.pins.filter((p) => p.control !== 'midi' && p.type !== 'midi') : [];
}

// A pin as a wire names it: its name, or "#N" where the module has several of that name.
function pinRef(module, pin) {
  const same = module.pins.filter((p) => p.name === pin.name).length;
  return same === 1 ? pin.name : `#${pin.index}`;
}

function jack(module, pin) {
  const out = pin.direction === 'out';
  const ref = pinRef(module, pin);
  const j = el('div', {class: `jack ${out ? 'out' : 'in'}`, 'data-module': module.name,
                       'data-pin': ref, 'data-ref': `${module.name}.${ref}`, title: `${pin.name} (${pin.type})`},
               el('span', {class: 'dot'}), el('span', {class: 'label', text: pin.name}));
  j.addEventListener('pointerdown', (e) => startWire(e, j));
  return j;
}

function node(module, at) {
  const head = el('div', {class: 'node-head'},
                  el('span', {class: 'node-name', text: module.name}),
                  el('span', {class: 'node-plugin', text: module.plugin}));
  const rename = el('button', {type: 'button', class: 'rename', title: 'rename', text: '✎'});
  const remove = el('button', {type: 'button', class: 'remove', title: 'remove', text: '×'});
  head.append(rename, remove);
  const jacks = jacksOf(module);
  const n = el('div', {class: 'node', 'data-module': module.name}, head,
               el('div', {class: 'jacks'},
                  el('div', {class: 'ins'}, ...jacks.filter((p) => p.direction !== 'out').map((p) => jack(module, p))),
                  el('div', {class: 'outs'}, ...jacks.filter((p) => p.direction === 'out').map((p) => jack(module, p)))),
               el('div', {class: 'refusal', role: 'alert'}));
  n.style.left = `${at.x}px`;
  n.style.top = `${at.y}px`;
  head.addEventListener('pointerdown', (e) => startMove(e, n));
  rename.addEventListener('click', () => startRename(n, module.name));
  remove.addEventListener('click', () => edit('remove', {module: module.name}));
  return n;
}

function startRename(n, name) {
  const input = el('input', {type: 'text', class: 'rename-field', value: name, 'aria-label': 'new name'});
  const label = n.querySelector('.node-name');
  label.replaceChildren(input);
  input.focus();
  input.select();
  input.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && input.value.trim() && input.value.trim() !== name) {
      edit('rename', {module: name, to: input.value.trim()});
    }
    if (e.key === 'Enter' || e.key === 'Escape') label.textContent = name;
  });
  input.addEventListener('blur', () => { label.textContent = name; });
}

// ---- Dragging: cards (placed on drop), cables from jack to jack ---------------------------

function canvasPoint(e) {
  const c = $('canvas');
  const r = c.getBoundingClientRect();
  return {x: e.clientX - r.left + c.scrollLeft, y: e.clientY - r.top + c.scrollTop};
}

function startMove(e, n) {
  if (e.target.closest('button, input')) return;
  e.preventDefault();
  const from = canvasPoint(e);
  const start = {x: n.offsetLeft, y: n.offsetTop};
  const head = e.currentTarget;
  head.setPointerCapture(e.pointerId);
  const move = (ev) => {
    const p = canvasPoint(ev);
    n.style.left = `${Math.max(0, start.x + p.x - from.x)}px`;
    n.style.top = `${Math.max(0, start.y + p.y - from.y)}px`;
    drawCables();
  };
  ed.dragging = true;
  const drop = () => {
    head.removeEventListener('pointermove', move);
    const at = {x: n.offsetLeft, y: n.offsetTop};
    dragEnded();
    if (at.x !== start.x || at.y !== start.y) edit('place', {module: n.dataset.module, ...at});
  };
  head.addEventListener('pointermove', move);
  head.addEventListener('pointerup', drop, {once: true});
  head.addEventListener('lostpointercapture', dragEnded, {once: true});
}

function startWire(e, j) {
  e.preventDefault();
  j.setPointerCapture(e.pointerId);
  const path = svgElement('path');
  path.setAttribute('class', 'cable pending');
  $('cables').append(path);
  const a = jackPoint(j);
  const move = (ev) => path.setAttribute('d', cablePath(a, canvasPoint(ev)));
  ed.dragging = true;
  const drop = (ev) => {
    j.removeEventListener('pointermove', move);
    path.remove();
    const over = document.elementFromPoint(ev.clientX, ev.clientY);
    const other = over && over.closest('#canvas .jack');
    dragEnded();
    if (!other || other === j || other.classList.contains('out') === j.classList.contains('out')) return;
    const [from, to] = j.classList.contains('out') ? [j, other] : [other, j];
    edit('wire', {from: [from.dataset.module, from.dataset.pin], to: [to.dataset.module, to.dataset.pin]});
  };
  j.addEventListener('pointermove', move);
  j.addEventListener('pointerup', drop, {once: true});
  j.addEventListener('lostpointercapture', () => { path.remove(); dragEnded(); }, {once: true});
}

// What came while dragging is drawn once the drag ends.
function dragEnded() {
  ed.dragging = false;
  if (ed.stale) drawCanvas();
}

// ---- Cables -----------------------------------------------------------------------------

function jackPoint(j) {
  const c = $('canvas');
  const r = c.getBoundingClientRect();
  const d = j.querySelector('.dot').getBoundingClientRect();
  return {x: d.left + d.width / 2 - r.left + c.scrollLeft, y: d.top + d.height / 2 - r.top + c.scrollTop};
}

function cablePath(a, b) {
  const dx = Math.max(40, Math.abs(b.x - a.x) / 2);
  return `M${a.x},${a.y} C${a.x + dx},${a.y} ${b.x - dx},${b.y} ${b.x},${b.y}`;
}

const jackNamed = (m, p) => document.querySelector(`#canvas .jack[data-ref="${CSS.escape(`${m}.${p}`)}"]`);

function svgText(tag, text) {
  const t = svgElement(tag);
  t.textContent = text;
  return t;
}

// The × halfway along a cable.
function unwireMark(a, b) {
  const x = svgText('text', '×');
  x.setAttribute('class', 'unwire');
  x.setAttribute('x', String((a.x + b.x) / 2));
  x.setAttribute('y', String((a.y + b.y) / 2 + 5));
  return x;
}

function cable(w) {
  const from = jackNamed(...w.from);
  const to = jackNamed(...w.to);
  if (!from || !to) return null;
  const a = jackPoint(from);
  const b = jackPoint(to);
  const g = svgElement('g');
  g.setAttribute('class', 'cable');
  g.dataset.from = w.from.join('.');
  g.dataset.to = w.to.join('.');
  const d = cablePath(a, b);
  for (const cls of ['hit', 'wire']) {
    const p = svgElement('path');
    p.setAttribute('class', cls);
    p.setAttribute('d', d);
    g.append(p);
  }
  g.append(unwireMark(a, b), svgText('title', `${g.dataset.from} → ${g.dataset.to} (click to delete)`));
  g.addEventListener('click', () => edit('unwire', {to: w.to}));
  return g;
}

function drawCables() {
  const c = $('canvas');
  const svg = $('cables');
  svg.setAttribute('width', String(c.scrollWidth));
  svg.setAttribute('height', String(c.scrollHeight));
  svg.replaceChildren(...ed.edit.wires.map(cable).filter(Boolean));
}

function drawCanvas() {
  ed.stale = ed.dragging;
  if (ed.dragging) return;
  const at = places(ed.edit, ed.layout);
  const nodes = ed.edit.modules.map((m) => {
    const lm = ed.layout.modules.find((x) => x.name === m.name) || {name: m.name, plugin: m.plugin, pins: []};
    return node(lm, at.get(m.name));
  });
  const svg = $('cables');
  $('canvas').replaceChildren(svg, ...nodes);
  drawCables();
}

// ---- Outputs, MIDI, voice groups ---------------------------------------------------------

function pinsOf(test) {
  const out = [];
  for (const m of ed.layout ? ed.layout.modules : []) {
    for (const p of m.pins) if (test(p)) out.push([m.name, pinRef(m, p)]);
  }
  return out;
}

function showOutputs() {
  const chosen = ed.edit.outputs.map((o) => o.join('.'));
  const boxes = pinsOf((p) => p.direction === 'out' && p.type === 'samples').map(([m, p]) => {
    const box = el('input', {type: 'checkbox', value: `${m}.${p}`, checked: chosen.includes(`${m}.${p}`)});
    box.addEventListener('change', sendOutputs);
    return el('label', {class: 'choice'}, box, `${m}.${p}`);
  });
  $('outputs').replaceChildren(...boxes);
  $('gain').value = String(ed.edit.gain);
}

function sendOutputs() {
  const kept = ed.edit.outputs.map((o) => o.join('.'));
  const ticked = [...document.querySelectorAll('#outputs input:checked')].map((b) => b.value);
  const order = [...kept.filter((o) => ticked.includes(o)), ...ticked.filter((o) => !kept.includes(o))];
  const gain = Number($('gain').value);
  edit('outputs', {outputs: order.map((o) => splitRef(o)), gain: Number.isFinite(gain) ? gain : 1});
}

function splitRef(ref) {
  const dot = ref.indexOf('.');
  return [ref.slice(0, dot), ref.slice(dot + 1)];
}

function showMidi() {
  const source = $('midi-source');
  const current = ed.edit.midi.source;
  const sources = ['none', 'live', ...(current !== 'none' && current !== 'live' ? [current] : [])];
  source.replaceChildren(...sources.map((s) => el('option', {value: s, text: s === 'live' ? 'live input' : s})));
  source.value = current;
  const to = $('midi-to');
  const inputs = pinsOf((p) => p.type === 'midi' && p.direction !== 'out');
  to.replaceChildren(el('option', {value: '', text: 'first MIDI input'}),
                     ...inputs.map(([m, p]) => el('option', {value: `${m}.${p}`, text: `${m}.${p}`})));
  to.value = ed.edit.midi.to ? ed.edit.midi.to.join('.') : '';
}

function sendMidi() {
  const to = $('midi-to').value;
  edit('midi', {source: $('midi-source').value, to: to ? splitRef(to) : null});
}

function showVoices() {
  const shown = JSON.stringify([ed.edit.voices, ed.edit.modules.map((m) => m.name)]);
  if (shown === ed.voicesShown) return;  // the form the user may be filling stays
  ed.voicesShown = shown;
  const group = $('voice-group');
  const was = group.value === 'new' && ed.edit.voices.length > ed.groups ? String(ed.edit.voices.length - 1) : group.value;
  ed.groups = ed.edit.voices.length;
  group.replaceChildren(...ed.edit.voices.map((v, i) =>
    el('option', {value: String(i), text: `${i + 1}: ${v.count} × ${v.modules.join(', ')}`})),
                        el('option', {value: 'new', text: 'new group'}));
  group.value = [...group.options].some((o) => o.value === was) ? was : (ed.edit.voices.length ? '0' : 'new');
  showGroup();
}

function showGroup() {
  const v = ed.edit.voices[Number($('voice-group').value)] || {count: 8, modules: [], sleep: false};
  $('voice-count').value = String(v.count);
  $('voice-sleep').checked = v.sleep;
  $('voice-modules').replaceChildren(...ed.edit.modules.map((m) => el('label', {class: 'choice'},
    el('input', {type: 'checkbox', value: m.name, checked: v.modules.includes(m.name)}), m.name)));
}

function sendVoices(remove) {
  const g = $('voice-group').value;
  const modules = remove ? [] : [...document.querySelectorAll('#voice-modules input:checked')].map((b) => b.value);
  edit('voices', {group: g === 'new' ? ed.edit.voices.length : Number(g), count: Number($('voice-count').value),
                  modules, sleep: $('voice-sleep').checked});
}

// ---- What the server sends ------------------------------------------------------------

// The layout: with `edit` the editor shows; without, it hides.
export function showEditor(layout) {
  $('editor').hidden = !layout.edit;
  document.body.dataset.editing = layout.edit ? 'yes' : 'no';
  if (!layout.edit) return;
  ed.layout = layout;
  showStructure(layout.edit);
}

export function showStructure(structure) {
  ed.edit = structure;
  $('dirty').hidden = !structure.changed;
  $('undo').disabled = !structure.can_undo;
  $('redo').disabled = !structure.can_redo;
  $('patch-path').textContent = structure.path;
  drawCanvas();
  showOutputs();
  showMidi();
  showVoices();
  document.body.dataset.changed = structure.changed ? 'yes' : 'no';
}

// A refused edit: the reason beside the jack or card it concerns, else at the top.
export function showRefusal(m) {
  const [module] = m.subject.split('.');
  const j = m.subject.includes('.') ? document.querySelector(`#canvas .jack[data-ref="${CSS.escape(m.subject)}"]`) : null;
  const n = document.querySelector(`#canvas .node[data-module="${CSS.escape(module)}"]`);
  if (!n) {
    showError(m.reason);
    return;
  }
  const box = n.querySelector('.refusal');
  box.textContent = j ? `${j.querySelector('.label').textContent}: ${m.reason}` : m.reason;
  box.dataset.subject = m.subject;
  if (j) j.classList.add('refused');
  setTimeout(() => {
    box.textContent = '';
    if (j) j.classList.remove('refused');
  }, REFUSAL_MS);
}

// ---- Set-up ------------------------------------------------------------------------------

function typing(target) {
  return target.closest && target.closest('input, textarea, select');
}

function listenToKeys() {
  document.addEventListener('keydown', (e) => {
    if (!ed.edit || !(e.ctrlKey || e.metaKey) || typing(e.target)) return;
    const key = e.key.toLowerCase();
    if (key === 'z' || key === 'y') {
      e.preventDefault();
      edit(key === 'y' || e.shiftKey ? 'redo' : 'undo');
    }
  });
  window.addEventListener('beforeunload', (e) => {
    if (!ed.edit || !ed.edit.changed) return;
    e.preventDefault();
    e.returnValue = '';
  });
}

export function setUpEditor() {
  $('add-search').addEventListener('input', () => { ed.chosen = null; showResults(); });
  $('add-search').addEventListener('keydown', (e) => {
    const first = ed.catalog.find((d) => $('add-results').firstChild?.dataset.deliverable === d.deliverable);
    if (e.key === 'Enter' && first) choose(first);
  });
  $('add-name').addEventListener('keydown', (e) => { if (e.key === 'Enter') addModule(); });
  $('add').addEventListener('click', addModule);
  $('undo').addEventListener('click', () => edit('undo'));
  $('redo').addEventListener('click', () => edit('redo'));
  $('save').addEventListener('click', () => edit('save'));
  $('save-as').addEventListener('click', () => edit('save_as', {name: $('save-name').value.trim()}));
  $('gain').addEventListener('change', sendOutputs);
  $('midi-source').addEventListener('change', sendMidi);
  $('midi-to').addEventListener('change', sendMidi);
  $('voice-group').addEventListener('change', showGroup);
  $('voice-set').addEventListener('click', () => sendVoices(false));
  $('voice-remove').addEventListener('click', () => sendVoices(true));
  $('canvas').addEventListener('scroll', () => { if (ed.edit) drawCables(); });
  listenToKeys();
}
