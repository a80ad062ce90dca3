// Standard MIDI File reading (chunks, variable-length numbers, running status, meta and
// system-exclusive events, the tempo map) and a small writer for note lists.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "kvhost/host.h"
#include "kvhost/midi.h"

namespace kvhost {

namespace {

struct RawEvent {
    uint64_t tick;
    uint32_t track, order;  // file order at equal ticks
    int32_t tempo;          // >0: a tempo change (microseconds per beat); 0: channel message
    uint8_t status, d1, d2;
    bool channel;
};

class Reader {
  public:
    Reader(const std::vector<uint8_t>& b, const std::string& name) : b_(b), name_(name) {}

    [[noreturn]] void Fail(const std::string& what, std::size_t at) const {
        throw Error(name_ + ": " + what + " at byte " + std::to_string(at));
    }
    void Need(std::size_t n, std::size_t end, const char* what) const {
        if (pos_ + n > end) Fail(std::string("file ends inside ") + what, pos_);
    }
    uint8_t U8(std::size_t end, const char* what) {
        Need(1, end, what);
        return b_[pos_++];
    }
    uint32_t U16(std::size_t end, const char* what) {
        Need(2, end, what);
        const uint32_t v = (uint32_t{b_[pos_]} << 8) | b_[pos_ + 1];
        pos_ += 2;
        return v;
    }
    uint32_t U32(std::size_t end, const char* what) {
        Need(4, end, what);
        const uint32_t v = (uint32_t{b_[pos_]} << 24) | (uint32_t{b_[pos_ + 1]} << 16) |
                           (uint32_t{b_[pos_ + 2]} << 8) | b_[pos_ + 3];
        pos_ += 4;
        return v;
    }
    // A variable-length number: at most four bytes of seven bits each.
    uint32_t Vlq(std::size_t end, const char* what) {
        const std::size_t start = pos_;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const uint8_t c = U8(end, what);
            v = (v << 7) | (c & 0x7F);
            if ((c & 0x80) == 0) return v;
        }
        Fail(std::string("variable-length number longer than four bytes in ") + what, start);
    }
    std::size_t pos_ = 0;

  private:
    const std::vector<uint8_t>& b_;
    const std::string& name_;
};

}  // namespace

MidiSequence ParseMidi(const std::vector<uint8_t>& bytes, double sample_rate,
                       const std::string& name, MidiDelivery delivery) {
    if (!(sample_rate > 0.0)) throw Error(name + ": sample rate must be positive");
    Reader r(bytes, name);
    const std::size_t size = bytes.size();
    if (size < 14 || std::string(bytes.begin(), bytes.begin() + 4) != "MThd") {
        throw Error(name + ": not a Standard MIDI File (no MThd header)");
    }
    r.pos_ = 4;
    const uint32_t header_length = r.U32(size, "the header");
    if (header_length < 6) r.Fail("header shorter than 6 bytes", 4);
    const std::size_t header_end = 8 + static_cast<std::size_t>(header_length);
    if (header_end > size) r.Fail("file ends inside the header", 8);
    const uint32_t format = r.U16(header_end, "the header");
    const uint32_t tracks = r.U16(header_end, "the header");
    const uint32_t division = r.U16(header_end, "the header");
    if (format > 1) {
        throw Error(name + ": MIDI file format " + std::to_string(format) +
                    " is not supported (only 0 and 1)");
    }
    if (format == 0 && tracks != 1)
        r.Fail("format 0 with " + std::to_string(tracks) + " tracks", 10);
    if (division == 0) r.Fail("time division of 0", 12);
    // Ticks per second = units: beats (tempo-dependent) or SMPTE frames (fixed).
    const bool smpte = (division & 0x8000) != 0;
    double smpte_ticks_per_second = 0.0;
    if (smpte) {
        const int fps = -static_cast<int8_t>(division >> 8);
        const int per_frame = static_cast<int>(division & 0xFF);
        if (fps <= 0 || per_frame == 0) r.Fail("bad SMPTE time division", 12);
        smpte_ticks_per_second = (fps == 29 ? 29.97 : fps) * per_frame;
    }
    r.pos_ = header_end;

    std::vector<RawEvent> raw;
    uint64_t last_tick = 0;
    uint32_t found = 0;
    while (r.pos_ < size && found < tracks) {
        const std::size_t chunk_at = r.pos_;
        if (r.pos_ + 8 > size) r.Fail("file ends inside a chunk header", r.pos_);
        const std::string id(bytes.begin() + static_cast<std::ptrdiff_t>(r.pos_),
                             bytes.begin() + static_cast<std::ptrdiff_t>(r.pos_ + 4));
        r.pos_ += 4;
        const uint32_t length = r.U32(size, "a chunk header");
        const std::size_t end = r.pos_ + length;
        if (end > size) r.Fail("chunk \"" + id + "\" runs past the end of the file", chunk_at);
        if (id != "MTrk") {  // unknown chunks are skipped, as the format asks
            r.pos_ = end;
            continue;
        }
        uint64_t tick = 0;
        uint8_t running = 0;
        uint32_t order = 0;
        bool ended = false;
        while (r.pos_ < end && !ended) {
            tick += r.Vlq(end, "a delta time");
            const std::size_t at = r.pos_;
            uint8_t status = r.U8(end, "an event");
            if (status < 0x80) {
                if (running == 0) r.Fail("data byte without a running status", at);
                status = running;
                --r.pos_;  // the byte read is the first data byte
            }
            if (status == 0xFF) {
                const uint8_t type = r.U8(end, "a meta event");
                const uint32_t len = r.Vlq(end, "a meta event");
                r.Need(len, end, "a meta event");
                if (type == 0x51) {
                    if (len != 3) r.Fail("tempo event with length " + std::to_string(len), at);
                    const int32_t tempo =
                        (bytes[r.pos_] << 16) | (bytes[r.pos_ + 1] << 8) | bytes[r.pos_ + 2];
                    if (tempo == 0) r.Fail("tempo of 0", at);
                    raw.push_back({tick, found, order++, tempo, 0, 0, 0, false});
                }
                if (type == 0x2F) ended = true;
                r.pos_ += len;
                running = 0;  // meta events cancel running status
            } else if (status == 0xF0 || status == 0xF7) {
                const uint32_t len = r.Vlq(end, "a system-exclusive event");
                r.Need(len, end, "a system-exclusive event");
                r.pos_ += len;
                running = 0;
            } else if (status >= 0xF1) {
                r.Fail("system message " + std::to_string(status) + " inside a track", at);
            } else {
                running = status;
                const uint8_t kind = status & 0xF0;
                const uint8_t d1 = r.U8(end, "a channel message");
                const uint8_t d2 =
                    (kind == 0xC0 || kind == 0xD0) ? 0 : r.U8(end, "a channel message");
                if ((d1 | d2) & 0x80) r.Fail("data byte above 127", at);
                raw.push_back({tick, found, order++, 0, status, d1, d2, true});
            }
            last_tick = std::max(last_tick, tick);
        }
        r.pos_ = end;
        ++found;
    }
    if (found < tracks) {
        throw Error(name + ": header announces " + std::to_string(tracks) + " tracks, file holds " +
                    std::to_string(found));
    }

    std::stable_sort(raw.begin(), raw.end(), [](const RawEvent& a, const RawEvent& b) {
        if (a.tick != b.tick) return a.tick < b.tick;
        return a.track != b.track ? a.track < b.track : a.order < b.order;
    });
    // Time in microseconds x division: the sum of each tempo segment's ticks x tempo, so that
    // the sample is computed once, rounded to nearest, without accumulating error.
    MidiSequence seq;
    seq.events.reserve(raw.size());
    long double scaled_us = 0.0L;  // microseconds x division (beat-based files)
    uint64_t segment_tick = 0;
    int32_t tempo = 500000;
    auto sample_at = [&](uint64_t tick) -> uint32_t {
        long double seconds;
        if (smpte) {
            seconds = static_cast<long double>(tick) / smpte_ticks_per_second;
        } else {
            const long double us =
                scaled_us + static_cast<long double>(tick - segment_tick) * tempo;
            seconds = us / (static_cast<long double>(division) * 1e6L);
        }
        const long double s = std::floor(seconds * sample_rate + 0.5L);
        if (s > 4294967295.0L) throw Error(name + ": longer than the sample clock can count");
        return static_cast<uint32_t>(s);
    };
    for (const RawEvent& e : raw) {
        if (e.tempo > 0) {
            scaled_us += static_cast<long double>(e.tick - segment_tick) * tempo;
            segment_tick = e.tick;
            tempo = e.tempo;
            continue;
        }
        const MidiEvent event{sample_at(e.tick), e.status, e.d1, e.d2};
        seq.events.push_back(delivery == MidiDelivery::kHost ? AsDelivered(event) : event);
    }
    seq.end_sample = sample_at(last_tick);
    return seq;
}

void MidiParser::Status(uint8_t b) {
    if (have_ > 0) ++ignored_;  // the message it cuts off
    have_ = 0;
    if (b < 0xF0) {
        running_ = b;
        skip_ = 0;
        return;
    }
    if (b == 0xF7) {  // the end of a system-exclusive message, counted at its start
        skip_ = 0;
        return;
    }
    // System messages cancel running status; their data bytes go with them.
    running_ = 0;
    ++ignored_;
    switch (b) {
        case 0xF0:
            skip_ = std::numeric_limits<int>::max();  // until a status byte ends it
            return;
        case 0xF1:
        case 0xF3:
            skip_ = 1;
            return;
        case 0xF2:
            skip_ = 2;
            return;
        default:
            skip_ = 0;
            return;
    }
}

MidiSequence ReadMidiFile(const std::string& path, double sample_rate, MidiDelivery delivery) {
    const std::string text = ReadWholeFile(path, "MIDI file");
    return ParseMidi(std::vector<uint8_t>(text.begin(), text.end()), sample_rate, path, delivery);
}

std::vector<uint8_t> WriteMidiNotes(const std::vector<MidiNote>& notes, double bpm,
                                    uint16_t ticks_per_beat) {
    struct Ev {
        uint64_t tick;
        int order;  // note-offs before note-ons at the same tick
        uint8_t status, key, velocity;
    };
    std::vector<Ev> evs;
    for (const MidiNote& n : notes) {
        const auto on = static_cast<uint64_t>(std::llround(n.start_beat * ticks_per_beat));
        const auto off =
            static_cast<uint64_t>(std::llround((n.start_beat + n.beats) * ticks_per_beat));
        evs.push_back({on, 1, 0x90, n.key, n.velocity});
        evs.push_back({off, 0, 0x80, n.key, 0});
    }
    std::stable_sort(evs.begin(), evs.end(), [](const Ev& a, const Ev& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
    });
    std::vector<uint8_t> track;
    auto vlq = [&track](uint64_t v) {
        uint8_t buf[5];
        int n = 0;
        buf[n++] = static_cast<uint8_t>(v & 0x7F);
        while ((v >>= 7) != 0) buf[n++] = static_cast<uint8_t>(0x80 | (v & 0x7F));
        while (n > 0) track.push_back(buf[--n]);
    };
    const auto tempo = static_cast<uint32_t>(std::llround(60000000.0 / bpm));
    vlq(0);
    track.insert(track.end(), {0xFF, 0x51, 0x03, static_cast<uint8_t>(tempo >> 16),
                               static_cast<uint8_t>(tempo >> 8), static_cast<uint8_t>(tempo)});
    uint64_t now = 0;
    uint8_t running = 0;
    for (const Ev& e : evs) {
        vlq(e.tick - now);
        now = e.tick;
        if (e.status != running) track.push_back(e.status);  // running status
        running = e.status;
        track.push_back(e.key);
        track.push_back(e.velocity);
    }
    vlq(0);
    track.insert(track.end(), {0xFF, 0x2F, 0x00});
    const auto len = static_cast<uint32_t>(track.size());
    // Header chunk (format 0, one track) followed by the track chunk's header.
    const uint8_t head[] = {'M',
                            'T',
                            'h',
                            'd',
                            0,
                            0,
                            0,
                            6,
                            0,
                            0,
                            0,
                            1,
                            static_cast<uint8_t>(ticks_per_beat >> 8),
                            static_cast<uint8_t>(ticks_per_beat),
                            'M',
                            'T',
                            'r',
                            'k',
                            static_cast<uint8_t>(len >> 24),
                            static_cast<uint8_t>(len >> 16),
                            static_cast<uint8_t>(len >> 8),
                            static_cast<uint8_t>(len)};
    std::vector<uint8_t> file;
    file.reserve(sizeof head + track.size());
    file.assign(std::begin(head), std::end(head));
    file.insert(file.end(), track.begin(), track.end());
    return file;
}

}  // namespace kvhost
