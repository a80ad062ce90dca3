// The patch engine: kolvex.wasm (the host core with every module) behind a small JavaScript
// face. The page, its audio worklet and the build's manifest tool make one each, from a
// compiled WebAssembly.Module, synchronously, so an audio worklet is ready before its first
// quantum.
import createKolvex from './kolvex.js';

// A failure the engine reports, with the core's message (naming the file, module or pin).
export class EngineError extends Error {}

class Engine {
  constructor(m) {
    this.m = m;
  }

  // Throws the core's message when a call answered failure.
  check(ok) {
    if (!ok) throw new EngineError(this.m.UTF8ToString(this.m._kv_error()) || 'unknown failure');
    return ok;
  }

  // Opens the patch (JSON text; `name` stands for its file in messages) at `rate` Hz: a patch
  // naming another rate is refused, one naming none runs at `rate`. Rate 0: the patch's own
  // rate, as `kvhost render` uses it.
  open(json, name, rate) {
    this.check(this.m.ccall('kv_open', 'number', ['string', 'string', 'number'], [json, name, rate]));
    this.info = JSON.parse(this.m.UTF8ToString(this.check(this.m._kv_info())));
    return this.info;
  }

  // The patch's MIDI file (its bytes), played from the start as render plays it.
  midiFile(bytes, name) {
    const data = new Uint8Array(bytes);
    const at = this.m._malloc(Math.max(1, data.length));
    try {
      this.m.HEAPU8.set(data, at);
      this.check(this.m.ccall('kv_midi_file', 'number', ['number', 'number', 'string'], [at, data.length, name]));
    } finally {
      this.m._free(at);
    }
    this.info = JSON.parse(this.m.UTF8ToString(this.check(this.m._kv_info())));
    return this.info;
  }

  // The next `frames` frames, one Float32Array per channel (views valid until the next call).
  render(frames) {
    const at = this.check(this.m._kv_render(frames)) >> 2;
    const heap = this.m.HEAPF32;
    const out = [];
    for (let c = 0; c < this.info.channels; ++c) out.push(heap.subarray(at + c * frames, at + (c + 1) * frames));
    return out;
  }

  // A live MIDI message for the patch's MIDI input, from the next frame rendered.
  midi(status, d1, d2) {
    this.check(this.m._kv_midi(status, d1, d2));
  }

  // A pin value from text, checked as a patch setting is.
  set(module, pin, text) {
    this.check(this.m.ccall('kv_set', 'number', ['string', 'string', 'string'], [module, pin, String(text)]));
  }

  // A page's `set` message carried out, answered as the panel's server answers it: the value
  // the pin now holds, or the refusal with the value it kept (none for an unknown pin).
  answerSet({module, pin, value, id}) {
    try {
      this.set(module, pin, value);
      return {type: 'value', module, pin, value: this.value(module, pin), id};
    } catch (e) {
      let kept;
      try {
        kept = this.value(module, pin);
      } catch {
        kept = undefined;  // no such module or pin: nothing to put back
      }
      return {type: 'error', message: e.message || String(e), module, pin, value: kept, id};
    }
  }

  // The patch's modules as the panel's "layout" message gives them: cards, pins, controls.
  layout() {
    return JSON.parse(this.m.UTF8ToString(this.check(this.m._kv_layout())));
  }

  // A pin's value as the cards show it (what was set last, or what the patch opened with).
  value(module, pin) {
    return this.m.UTF8ToString(this.check(this.m.ccall('kv_value', 'number', ['string', 'string'], [module, pin])));
  }

  // The pins whose value moved since the last call: [[module, pin, value]] counted in the
  // layout; null when none did (nothing made then).
  changes() {
    const at = this.check(this.m._kv_changes());
    return this.m.HEAPU8[at] === 0 ? null : JSON.parse(this.m.UTF8ToString(at));
  }

  // The modules built in: [{deliverable, id, name}].
  modules() {
    return JSON.parse(this.m.UTF8ToString(this.check(this.m._kv_modules())));
  }
}

// The CRC-32 of `bytes` (that of zip and PNG), as kolvex-web.json records kolvex.wasm's: the
// page checks the program it fetched against it before compiling it.
export function crc32(bytes) {
  let crc = 0xFFFFFFFF;
  for (const b of new Uint8Array(bytes)) {
    crc ^= b;
    for (let k = 0; k < 8; ++k) crc = (crc >>> 1) ^ (0xEDB88320 & -(crc & 1));
  }
  return (crc ^ 0xFFFFFFFF) >>> 0;
}

// An engine on `module` (kolvex.wasm compiled). Throws when the program cannot start.
export function makeEngine(module) {
  const m = {
    instantiateWasm(imports, receive) {
      const instance = new WebAssembly.Instance(module, imports);
      receive(instance, module);
      return instance.exports;
    },
    locateFile: (path) => path,  // never fetched; spares the glue `URL`, which worklets lack
    print() {},
    printErr(text) { console.warn(`kolvex.wasm: ${text}`); },
  };
  let failure = null;
  createKolvex(m).catch((e) => { failure = e; });
  if (!m.calledRun || failure) throw new EngineError(`kolvex.wasm did not start${failure ? `: ${failure}` : ''}`);
  return new Engine(m);
}
