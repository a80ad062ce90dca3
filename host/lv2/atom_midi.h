// The MIDI events of an LV2 atom sequence port, read for the bridge and the instrument alike.
#pragma once

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kvhost::lv2 {

// The URIDs MIDI is read with; all 0 when the host maps none.
struct MidiUrids {
    LV2_URID sequence = 0, midi_event = 0, frame_time = 0;
};

// Calls take(frame, bytes, size) for each MIDI event of the sequence at `port`, in order, its
// frame limited to the run of `frames` (times in another unit count as the run's start).
// Event headers are copied out byte-wise: a host's buffer may be only 4-byte aligned, and the
// 64-bit time must not be read in place. An event running past the atom ends the walk.
template <class Take>
void ForEachMidiEvent(const void* port, const MidiUrids& urids, uint32_t frames, Take take) {
    if (port == nullptr) return;
    const auto* bytes = static_cast<const uint8_t*>(port);
    LV2_Atom atom;
    std::memcpy(&atom, bytes, sizeof atom);
    if (atom.type != urids.sequence || atom.size < sizeof(LV2_Atom_Sequence_Body)) return;
    LV2_Atom_Sequence_Body head;
    std::memcpy(&head, bytes + sizeof(LV2_Atom), sizeof head);
    const bool in_frames = head.unit == 0 || head.unit == urids.frame_time;
    // Offsets from the body's start, right after the atom header.
    const uint8_t* body = bytes + sizeof(LV2_Atom);
    const std::size_t end = atom.size;
    for (std::size_t at = sizeof(LV2_Atom_Sequence_Body);
         at <= end && end - at >= sizeof(LV2_Atom_Event);) {
        LV2_Atom_Event ev;
        std::memcpy(&ev, body + at, sizeof ev);
        const uint32_t size = ev.body.size;
        if (size > end - at - sizeof(LV2_Atom_Event)) break;
        if (ev.body.type == urids.midi_event && size >= 1) {
            const int64_t frame =
                std::clamp<int64_t>(in_frames ? ev.time.frames : 0, 0, frames > 0 ? frames - 1 : 0);
            take(static_cast<uint32_t>(frame), body + at + sizeof(LV2_Atom_Event), size);
        }
        at += sizeof(LV2_Atom_Event) + lv2_atom_pad_size(size);
    }
}

}  // namespace kvhost::lv2
