// kvhost panel, the page's state shared by its modules: the layout the server sent, the
// views of its pins, and the keys held down.
export const page = {
  socket: null,
  layout: null,
  views: [],         // [module][pin] -> view {row, show(value), value, pin}
  nextId: 1,
  octave: 4,
  held: new Map(),   // computer key -> MIDI key sounding
  pointers: new Map(),  // pointer id -> MIDI key it holds (null: over no key)
  midiAsked: false,  // Web MIDI asked for (once a patch takes notes)
  learning: null,    // [module, pin] waiting for a MIDI controller, or null
};
