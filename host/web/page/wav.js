// WAV files of 32-bit float samples (format 3), as `kvhost render` writes by default.

// A WAV file's bytes from channels of equal length (Float32Arrays) at `rate` Hz.
export function wavFile(channels, rate) {
  const frames = channels.length ? channels[0].length : 0;
  const dataBytes = frames * channels.length * 4;
  const bytes = new ArrayBuffer(44 + dataBytes);
  const v = new DataView(bytes);
  const text = (at, s) => { for (let i = 0; i < s.length; ++i) v.setUint8(at + i, s.charCodeAt(i)); };
  text(0, 'RIFF');
  v.setUint32(4, 36 + dataBytes, true);
  text(8, 'WAVE');
  text(12, 'fmt ');
  v.setUint32(16, 16, true);
  v.setUint16(20, 3, true);  // IEEE float
  v.setUint16(22, channels.length, true);
  v.setUint32(24, rate, true);
  v.setUint32(28, rate * channels.length * 4, true);
  v.setUint16(32, channels.length * 4, true);
  v.setUint16(34, 32, true);
  text(36, 'data');
  v.setUint32(40, dataBytes, true);
  const samples = new Float32Array(bytes, 44);
  for (let c = 0; c < channels.length; ++c) {
    const ch = channels[c];
    for (let i = 0; i < frames; ++i) samples[i * channels.length + c] = ch[i];
  }
  return bytes;
}
