// The patch in the page's audio thread: an AudioWorkletProcessor with an engine of its own
// (kolvex.wasm, compiled by the page and handed over), opened before the first quantum.
// Messages from the page (port): {type: 'midi', bytes}, {type: 'set', module, pin, value},
// {type: 'record', on}. To the page: 'ready' (with the patch's facts), 'error' (message),
// 'frames' (recorded channels, 8192 frames at a time, and the rest when recording stops),
// and when playing live 'load' twice a second: the share of the audio's time spent rendering.
import {makeEngine} from './engine.js';

const kRecordChunk = 8192;
// Worklets without performance.now() get Date.now(): its whole milliseconds, summed over many
// quanta, still average to the time spent (a quantum crosses a millisecond as often as it lasts).
const now = globalThis.performance ? () => performance.now() : () => Date.now();

class KolvexProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = options.processorOptions;
    this.engine = null;
    this.record = null;  // channels being filled while recording
    this.recorded = 0;
    this.live = Boolean(o.live);
    this.busy = 0;  // milliseconds spent rendering since the last 'load'
    this.timed = 0;  // frames rendered meanwhile
    try {
      const engine = makeEngine(o.module);
      engine.open(o.patch, o.name, o.rate);
      if (o.midi) engine.midiFile(o.midi, o.midiName);
      this.engine = engine;
      this.port.postMessage({type: 'ready', info: engine.info});
    } catch (e) {
      this.port.postMessage({type: 'error', message: e.message || String(e)});
    }
    this.port.onmessage = (event) => this.receive(event.data);
  }

  receive(message) {
    if (!this.engine) return;
    try {
      if (message.type === 'midi') {
        this.engine.midi(...message.bytes);
      } else if (message.type === 'set') {
        this.engine.set(message.module, message.pin, message.value);
      } else if (message.type === 'record') {
        if (message.on) {
          this.record = Array.from({length: this.engine.info.channels}, () => new Float32Array(kRecordChunk));
          this.recorded = 0;
        } else {
          this.flush();
          this.record = null;
        }
      }
    } catch (e) {
      this.port.postMessage({type: 'error', message: e.message || String(e)});
    }
  }

  flush() {
    if (!this.record || this.recorded === 0) return;
    this.port.postMessage({type: 'frames', channels: this.record.map((c) => c.slice(0, this.recorded))});
    this.recorded = 0;
  }

  process(inputs, outputs) {
    const out = outputs[0];
    if (!this.engine || out.length === 0) return true;
    let channels;
    const start = this.live ? now() : 0;
    try {
      channels = this.engine.render(out[0].length);
    } catch (e) {
      this.engine = null;  // silent from here on; the page says why
      this.port.postMessage({type: 'error', message: e.message || String(e)});
      return true;
    }
    for (let c = 0; c < out.length && c < channels.length; ++c) out[c].set(channels[c]);
    if (this.live) this.timeLoad(now() - start, out[0].length);
    if (this.record) {
      const n = channels[0].length;
      for (let c = 0; c < channels.length; ++c) this.record[c].set(channels[c], this.recorded);
      this.recorded += n;
      if (this.recorded + n > kRecordChunk) this.flush();
    }
    return true;
  }

  timeLoad(ms, frames) {
    this.busy += ms;
    this.timed += frames;
    if (this.timed < sampleRate / 2) return;
    this.port.postMessage({type: 'load', load: this.busy / (1000 * this.timed / sampleRate)});
    this.busy = 0;
    this.timed = 0;
  }
}

registerProcessor('kolvex', KolvexProcessor);
