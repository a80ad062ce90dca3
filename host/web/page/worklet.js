// The patch in the page's audio thread: an AudioWorkletProcessor with an engine of its own
// (kolvex.wasm, compiled by the page and handed over), opened before the first quantum.
// Messages from the page (port): {type: 'midi', bytes}, {type: 'set', module, pin, value, id},
// {type: 'record', on}, {type: 'window-back', samples} (a window buffer drawn, for reuse).
// To the page: 'ready' (with the patch's facts), 'error' (message), a set's answer as the
// panel gives it ('value' with the value now held, or 'error' with the message and the value
// kept, naming module and pin), 'frames' (recorded channels, 8192 frames at a time, and the
// rest when recording stops), and when playing live 'load' twice a second (the share of the
// audio's time spent rendering), 'pins' (the read-outs' values that moved, as the panel sends
// them; checked every 30 ms, made only when one moved) and 'window' about every 30 ms: the newest kWindow frames of
// each channel (channel after channel), in one of a few buffers made at the start and handed
// back and forth, so the audio thread makes none while it plays.
import {makeEngine} from './engine.js';

const kRecordChunk = 8192;
const kWindow = 4096;         // frames of each channel a window holds (the spectrum's length)
const kWindowBuffers = 3;     // buffers in flight between the worklet and the page
const kWindowPeriod = 0.03;   // seconds between windows
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
      // The values set on the page's cards before this rendering began.
      for (const [module, pin, value] of o.settings || []) this.set({module, pin, value});
      if (this.live) this.startWindows(engine.info.channels);
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
        this.set(message);
      } else if (message.type === 'window-back') {
        if (message.samples.length === this.ring.length) this.spare.push(message.samples);
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

  // A pin value; the answer names the pin as the message did and gives the value it holds.
  set(message) {
    this.port.postMessage(this.engine.answerSet(message));
  }

  // A ring of the newest kWindow frames per channel, and the buffers windows travel in.
  startWindows(channels) {
    this.ring = new Float32Array(channels * kWindow);
    this.ringAt = 0;  // where the next frame goes, in each channel's stretch
    this.spare = Array.from({length: kWindowBuffers}, () => new Float32Array(channels * kWindow));
    this.sinceWindow = 0;
    this.windowEvery = Math.max(128, Math.round(sampleRate * kWindowPeriod));
  }

  keepWindow(channels, n) {
    for (let c = 0; c < channels.length; ++c) {
      const base = c * kWindow;
      const src = channels[c];
      let at = this.ringAt;
      for (let i = 0; i < n; ++i) {
        this.ring[base + at] = src[i];
        at = at + 1 === kWindow ? 0 : at + 1;
      }
    }
    this.ringAt = (this.ringAt + n) % kWindow;
    this.sinceWindow += n;
    if (this.sinceWindow < this.windowEvery) return;
    this.sinceWindow = 0;
    const changes = this.engine.changes();
    if (changes) this.port.postMessage({type: 'pins', changes});
    if (this.spare.length === 0) return;
    const out = this.spare.pop();
    const older = kWindow - this.ringAt;  // frames from ringAt to the stretch's end come first
    for (let c = 0; c < channels.length; ++c) {
      const base = c * kWindow;
      out.set(this.ring.subarray(base + this.ringAt, base + kWindow), base);
      out.set(this.ring.subarray(base, base + this.ringAt), base + older);
    }
    this.port.postMessage({type: 'window', samples: out, frames: kWindow, rate: sampleRate}, [out.buffer]);
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
    if (this.live) {
      this.timeLoad(now() - start, out[0].length);
      this.keepWindow(channels, out[0].length);
    }
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
