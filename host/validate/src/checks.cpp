// The validation tests: identity and records, pin descriptions, unused opcodes, open/close
// cycles, every sample rate and block size, random and hostile inputs at random clocks,
// MIDI floods, and random edits of the GUI side.
#include "checks.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "alloc_count.h"
#include "random_inputs.h"
#include "strict_host.h"

namespace kvhost::validate {

namespace {

intptr_t NoHost(void*, int32_t, int32_t, int32_t, void*, float) {
    return 0;
}

void AddFigures(Context& ctx, const StrictDsp& b) {
    ctx.figures["process calls"] += static_cast<double>(b.ProcessCalls());
    ctx.figures["events delivered"] += static_cast<double>(b.EventsDelivered());
    ctx.figures["samples"] += static_cast<double>(b.Clock());
    ctx.figures["audio-path allocations"] += static_cast<double>(b.AudioPathAllocations());
    ctx.figures["samples left alone while still"] += static_cast<double>(b.KeptSamples());
}

bool ReadableText(const char* s, size_t limit, std::string* why) {
    const size_t n = strnlen(s, limit + 1);
    if (n > limit) {
        *why = Fmt("longer than %zu characters", limit);
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) < 0x20) {
            *why = Fmt("holds control character %d", s[i]);
            return false;
        }
    }
    return true;
}

// ---- identity and records -----------------------------------------------------------
void Identity(Context& ctx) {
    Findings& f = ctx.findings;
    const KVGetModulePropertiesFn get = ctx.plugin->GetModuleProperties();
    const KVMakeModuleFn make = ctx.plugin->MakeModule();
    KVModuleInfo info;
    std::memset(&info, 0xA5, sizeof info);
    const bool ok = get(0, &info);
    if (!ok) f.Fail("identity", "getModuleProperties(0) answered false");
    std::string why;
    if (info.name == nullptr || !ReadableText(info.name, 200, &why)) {
        f.Fail("identity", "name missing or unreadable " + why);
        return;
    }
    if (info.id == nullptr || std::strcmp(info.id, info.name) != 0) {
        f.Fail("identity", "id differs from the name");
    }
    if (info.about == nullptr) f.Fail("identity", "about text missing (null)");
    if (info.frame_revision != KV_REVISION_CURRENT && info.frame_revision != KV_REVISION_OLDER) {
        f.Fail("identity", Fmt("frame_revision %d is neither %d nor %d", info.frame_revision,
                               KV_REVISION_CURRENT, KV_REVISION_OLDER));
    }
    ctx.figures["frame revision"] = info.frame_revision;
    KVModuleInfo other;
    std::memset(&other, 0, sizeof other);
    if (get(1, &other)) f.Fail("identity", "getModuleProperties(1) answered true");
    if (other.name != nullptr) f.Fail("identity", "getModuleProperties(1) wrote a name");

    // Kinds and indices that name no instance.
    const int32_t bad[][2] = {{1, 1}, {1, 2}, {-1, 1}, {0, 0}, {0, 3}, {0, -1}, {0, 1000}};
    for (const auto& k : bad) {
        void* r = make(k[0], k[1], &NoHost, nullptr);
        if (r != nullptr) {
            f.Fail("identity", Fmt("makeModule(%d, %d) answered an instance", k[0], k[1]));
        }
    }

    // The DSP record, the call-information answer and a clean close.
    {
        StrictDsp b(ctx.plugin, f, 44100.0, 64);
        if (b.Create()) {
            const intptr_t r = b.Dispatch(MOD_CALL_INFO);
            if (info.frame_revision == KV_REVISION_CURRENT) {
                if (r == 0) {
                    f.Fail("records", "MOD_CALL_INFO answered null");
                } else {
                    KVCallInfo ci;
                    std::memcpy(&ci, reinterpret_cast<const void*>(r), sizeof ci);
                    if (ci.version != 1 ||
                        ci.member_size != static_cast<int32_t>(2 * sizeof(void*)) ||
                        ci.abi != KV_CALL_ABI_TWO_WORD || ci.member_offset <= 0) {
                        f.Fail("records",
                               Fmt("MOD_CALL_INFO answered version %d, size %d, offset "
                                   "%d, form %d",
                                   ci.version, ci.member_size, ci.member_offset, ci.abi));
                    }
                }
            } else if (r != 0) {
                f.Fail("records", "MOD_CALL_INFO answered in the older frame revision");
            }
            b.Open();
            b.Run(256);
            AddFigures(ctx, b);
        }
    }
    // The GUI record, when there is a GUI side.
    {
        StrictGui g(ctx.plugin, f, {});
        if (g.Create()) {
            const intptr_t r = g.Dispatch(GUI_OP10);
            if (r != 0 && r != 1)
                f.Fail("records", Fmt("GUI_OP10 answered %ld", static_cast<long>(r)));
            ctx.figures["GUI side"] = 1;
        } else {
            ctx.figures["GUI side"] = 0;
        }
    }
}

// ---- pin descriptions -----------------------------------------------------------------
void Pins(Context& ctx) {
    Findings& f = ctx.findings;
    StrictDsp b(ctx.plugin, f, 44100.0, 64);
    if (!b.Create()) return;
    const int32_t n = static_cast<int32_t>(b.Descriptions().size());
    ctx.figures["pins described"] = n;
    static const std::set<int32_t> kTypes = {DT_CHOICE,  DT_STRING, DT_MIDI_STREAM, DT_SWITCH,
                                             DT_FSAMPLE, DT_REAL32, DT_WHOLE32};
    std::set<void*> variables;
    std::set<std::string> names;
    for (int32_t d = 0; d < n; ++d) {
        KVPinProperties p, q;
        std::memset(&p, 0, sizeof p);
        std::memset(&q, 0, sizeof q);
        b.Dispatch(MOD_PIN_INFO, d, 0, &p);
        b.Dispatch(MOD_PIN_INFO, d, 0, &q);
        if (std::memcmp(&p, &q, sizeof p) != 0) {
            f.Fail("pins", Fmt("pin %d: two descriptions of it differ", d));
        }
        std::string why;
        const std::string label = p.name != nullptr ? p.name : "(null)";
        if (p.name == nullptr || !ReadableText(p.name, 100, &why) || p.name[0] == '\0') {
            f.Fail("pins", Fmt("pin %d: name missing, empty or unreadable %s", d, why.c_str()));
        }
        if (!names.insert(label).second)
            f.Note("pins", "two pins share the name \"" + label + "\"");
        if (p.direction != DR_INPUT && p.direction != DR_OUT && p.direction != DR_CONFIG) {
            f.Fail("pins", Fmt("pin %d \"%s\": direction %d", d, label.c_str(), p.direction));
        }
        if (kTypes.count(p.datatype) == 0) {
            f.Fail("pins", Fmt("pin %d \"%s\": data type %d", d, label.c_str(), p.datatype));
        }
        const bool rule = (p.flags & IO_PATCH_STORE) == 0 || (p.flags & IO_PRIVATE) != 0 ||
                          p.direction == DR_OUT || (p.flags & IO_UI_COMMUNICATION) != 0;
        if (!rule) {
            f.Fail("pins", Fmt("pin %d \"%s\": stored with the patch but neither private, an "
                               "output nor a GUI-side pin",
                               d, label.c_str()));
        }
        if (p.spare != nullptr)
            f.Fail("pins", Fmt("pin %d \"%s\": spare word set", d, label.c_str()));
        if (p.default_value != nullptr && !ReadableText(p.default_value, 4096, &why)) {
            f.Fail("pins", Fmt("pin %d \"%s\": default text %s", d, label.c_str(), why.c_str()));
        }
        if (p.choices != nullptr && !ReadableText(p.choices, 4096, &why)) {
            f.Fail("pins", Fmt("pin %d \"%s\": choices text %s", d, label.c_str(), why.c_str()));
        }
        if (p.datatype == DT_CHOICE) {
            if (p.choices == nullptr) {
                f.Fail("pins",
                       Fmt("pin %d \"%s\": a choice pin without choices", d, label.c_str()));
            } else {
                try {
                    const ChoiceList list = ParseChoices(p.choices);
                    if (!list.is_range && list.entries.empty()) {
                        f.Fail("pins", Fmt("pin %d \"%s\": empty choice list", d, label.c_str()));
                    }
                    if (p.default_value != nullptr && !list.Find(p.default_value)) {
                        f.Note("pins", Fmt("pin %d \"%s\": default \"%s\" is not in its choices", d,
                                           label.c_str(), p.default_value));
                    }
                } catch (const std::exception& ex) {
                    f.Fail("pins", Fmt("pin %d \"%s\": choices unreadable: %s", d, label.c_str(),
                                       ex.what()));
                }
            }
        } else if (p.default_value != nullptr &&
                   (p.datatype == DT_FSAMPLE || p.datatype == DT_REAL32 ||
                    p.datatype == DT_WHOLE32 || p.datatype == DT_SWITCH)) {
            char* end = nullptr;
            std::strtod(p.default_value, &end);
            while (end != nullptr && *end == ' ') ++end;
            if (end == p.default_value || (end != nullptr && *end != '\0')) {
                f.Fail("pins", Fmt("pin %d \"%s\": default \"%s\" is not a number", d,
                                   label.c_str(), p.default_value));
            }
        }
        const bool dsp_side = KVIsDspSidePin(p.flags, ctx.plugin->Revision());
        if (dsp_side && p.variable != nullptr && !variables.insert(p.variable).second) {
            f.Fail("pins",
                   Fmt("pin %d \"%s\": bound to the same member as another pin", d, label.c_str()));
        }
        if (dsp_side && p.variable == nullptr && p.direction != DR_OUT &&
            (p.datatype == DT_CHOICE || p.datatype == DT_REAL32 || p.datatype == DT_WHOLE32 ||
             p.datatype == DT_SWITCH)) {
            f.Note("pins", Fmt("pin %d \"%s\": an input value pin without a bound member", d,
                               label.c_str()));
        }
    }
    KVPinProperties p;
    for (int32_t index : {-1, n, n + 1, 100000, INT32_MAX}) {
        std::memset(&p, 0, sizeof p);
        if (b.Dispatch(MOD_PIN_INFO, index, 0, &p) != 0) {
            f.Fail("pins", Fmt("MOD_PIN_INFO answered 1 for index %d (%d pins)", index, n));
        }
    }
    if (b.Dispatch(MOD_PIN_INFO, 0, 0, nullptr) != 0) {
        f.Note("pins", "MOD_PIN_INFO without a record answered 1");
    }
}

// ---- opcodes and events nobody sends in normal use --------------------------------------
void Opcodes(Context& ctx) {
    Findings& f = ctx.findings;
    Randomness rnd(ctx.seed);
    StrictDsp b(ctx.plugin, f, 48000.0, 64, 3);
    if (!b.Create()) return;
    b.Open();
    b.Run(100);
    const int32_t ops[][2] = {{MOD_OP8, 0}, {MOD_OP8, 3}, {MOD_OP8, -1}, {MOD_OP12, 5},
                              {4, 0},       {5, 0},       {9, 0},        {11, 0},
                              {14, 0},      {99, 0},      {-1, 0},       {1000000, 0}};
    for (const auto& op : ops) {
        const intptr_t r = b.Dispatch(op[0], op[1], 7, nullptr, 1.5f);
        if (r != 0)
            f.Fail("opcodes",
                   Fmt("DSP opcode %d answered %ld, not 0", op[0], static_cast<long>(r)));
    }
    b.Run(200);
    // Unknown event kinds and empty calls are ignored.
    for (int32_t kind : {1, 3, 6, 20, 22, 99, -1}) b.SendRaw(b.Clock() + 3, kind, 1, 2, 0);
    b.SendRaw(b.Clock() + 5, EV_CALL, 0, 0, 0);
    // Every input told PS_STILL and PS_STREAM without a value change.
    for (int32_t pin : b.Inputs()) {
        for (int32_t status : {PS_STILL, PS_STREAM, PS_STEP}) {
            b.SendRaw(b.Clock() + 7, EV_PIN_STATUS, status, 0, pin);
        }
    }
    b.Run(300);
    AddFigures(ctx, b);

    StrictGui g(ctx.plugin, f, b.Descriptions());
    if (g.Create()) {
        g.Init(true);
        for (int32_t op : {GUI_OP2, GUI_OP3, GUI_OP4, GUI_OP5, GUI_OP6, GUI_OP8, GUI_OP9, GUI_OP11,
                           GUI_OP12, 13, 99, -1}) {
            const intptr_t r =
                g.Dispatch(op, static_cast<int32_t>(rnd.Int(0, 5)), 3, nullptr, 0.5f);
            if (r != 0)
                f.Fail("opcodes",
                       Fmt("GUI opcode %d answered %ld, not 0", op, static_cast<long>(r)));
        }
        g.Init(false);
        g.Init(true);
    }
}

// ---- open/close cycles ---------------------------------------------------------------------
void Lifecycle(Context& ctx) {
    Findings& f = ctx.findings;
    Findings cycle;  // per-cycle findings are merged once: the list must not grow in the loop
    std::vector<std::string> first;
    auto describe = [](const StrictDsp& b) {
        std::vector<std::string> d;
        for (const PinInfo& p : b.Descriptions()) {
            d.push_back(p.name + Fmt("/%d/%d/%x", p.direction, p.datatype, p.flags));
        }
        return d;
    };
    bool has_gui = true;
    auto one = [&](int32_t i) {
        StrictDsp b(ctx.plugin, cycle, 44100.0, 64);
        if (!b.Create()) return;
        if (i < 0) first = describe(b);
        b.Open();
        b.Run(i % 2 == 0 ? 130 : 1);
        if (i >= 0 && i % 97 == 0 && describe(b) != first) {
            cycle.Fail("lifecycle", "pin descriptions differ between instances");
        }
        b.Close();
        if (has_gui) {
            StrictGui g(ctx.plugin, cycle, b.Descriptions());
            if (!g.Create()) {
                has_gui = false;
                return;
            }
            g.Init(true);
            g.Close();
        }
    };
    for (int32_t i = -3; i < 0; ++i) one(i);  // warm-up: one-time set-up of the libraries
    const int64_t live_before = alloc::LiveBlocks();
    for (int32_t i = 0; i < ctx.cycles; ++i) one(i);
    const int64_t live_after = alloc::LiveBlocks();
    f.Merge(cycle);
    const int64_t grown = live_after - live_before;
    ctx.figures["open/close cycles"] = ctx.cycles;
    ctx.figures["blocks left allocated"] = static_cast<double>(grown);
    if (grown > 8) {
        f.Fail("leaks", Fmt("%" PRId64 " more blocks allocated after %d open/close cycles than "
                            "before (about %.2f per cycle)",
                            grown, ctx.cycles, static_cast<double>(grown) / ctx.cycles));
    }
    if (alloc::LeakCheck()) f.Fail("leaks", "the leak checker reported leaks (report above)");
}

// ---- random input runs ---------------------------------------------------------------------
// Schedules `count` random input changes at random clocks within the next `span` samples.
void RandomChanges(Randomness& rnd, std::vector<StrictDsp*> benches, int32_t count, uint32_t span,
                   bool hostile) {
    StrictDsp& b0 = *benches[0];
    const std::vector<int32_t> inputs = b0.Inputs();
    if (inputs.empty()) return;
    for (int32_t k = 0; k < count; ++k) {
        const int32_t pin = inputs[rnd.Int(0, inputs.size() - 1)];
        const PinInfo& info = b0.Describe(pin);
        const uint32_t at = b0.Clock() + static_cast<uint32_t>(rnd.Int(0, span));
        if (info.datatype == DT_MIDI_STREAM) {
            const int32_t msg = rnd.Midi();
            const auto v2 = static_cast<int16_t>(hostile ? rnd.Int(-32768, 32767) : 0);
            for (StrictDsp* b : benches) b->SendMidi(pin, at, msg, v2);
        } else if (info.datatype == DT_FSAMPLE) {
            SampleSource s;
            if (rnd.Chance(0.3)) {
                s.stream = true;
                s.seed = rnd.Next();
                s.hostile = hostile && rnd.Chance(0.5);
            } else {
                s.constant = rnd.Sample(hostile);
            }
            for (StrictDsp* b : benches) b->SetSource(pin, s, at);
        } else {
            const double v = rnd.PinValue(info, hostile);
            for (StrictDsp* b : benches) b->SetValue(pin, v, at);
        }
    }
}

void Rates(Context& ctx) {
    Findings& f = ctx.findings;
    Randomness rnd(ctx.seed);
    static const double kRates[] = {8000.0,  22050.0,  44100.0,   48000.0,
                                    96000.0, 192000.0, 12345.678, 3000.5};
    static const int32_t kBlocks[] = {1, 10, 17, 64, 1024, 2027, 4096};
    const int32_t changes = static_cast<int32_t>(std::max<uint64_t>(6, ctx.iterations / 100));
    int32_t combos = 0;
    for (double rate : kRates) {
        for (int32_t block : kBlocks) {
            StrictDsp b(ctx.plugin, f, rate, block);
            if (!b.Create()) return;
            b.Open();
            const uint32_t total = static_cast<uint32_t>(std::max(3 * block, 2400));
            const uint32_t step = total / 4;
            for (int32_t part = 0; part < 4; ++part) {
                RandomChanges(rnd, {&b}, changes / 4 + 1, step, false);
                b.Run(step);
            }
            b.Run(static_cast<uint32_t>(2 * block + 7));  // long enough to settle and go dormant
            AddFigures(ctx, b);
            ++combos;
        }
    }
    ctx.figures["rate x block combinations"] = combos;
}

// Two instances driven alike must produce the same samples and statuses.
void Compare(Context& ctx, const StrictDsp& a, const StrictDsp& b) {
    const int64_t diff = a.FirstDifference(b);
    bool same = diff < 0 && a.StatusHash() == b.StatusHash();
    if (!same) {
        ctx.findings.Fail("same inputs, same outputs",
                          diff >= 0 ? Fmt("two instances given the same inputs differ from about "
                                          "clock %" PRId64,
                                          diff)
                                    : std::string("two instances given the same inputs announced "
                                                  "different output statuses"));
    }
}

void Stress(Context& ctx, bool hostile) {
    Randomness rnd(ctx.seed);
    static const int32_t kBlocks[] = {10, 64, 1024, 17};
    const int32_t block = kBlocks[rnd.Int(0, 3)];
    const double rate = rnd.Chance(0.5) ? 44100.0 : 96000.0;
    StrictDsp a(ctx.plugin, ctx.findings, rate, block);
    StrictDsp b(ctx.plugin, ctx.findings, rate, block);
    if (!a.Create() || !b.Create()) return;
    if (a.Inputs().empty()) {
        ctx.skipped = "no DSP inputs";
        return;
    }
    if (hostile) {
        a.InputsNotFinite();
        b.InputsNotFinite();
    }
    a.Open();
    b.Open();
    uint64_t done = 0;
    while (done < ctx.iterations) {
        const int32_t batch = static_cast<int32_t>(rnd.Int(1, 8));
        const uint32_t span = static_cast<uint32_t>(rnd.Chance(0.2) ? 0 : rnd.Int(1, 3 * block));
        RandomChanges(rnd, {&a, &b}, batch, span, hostile);
        done += static_cast<uint64_t>(batch);
        // Sometimes long enough for the module to settle and go dormant.
        const uint32_t run = span + 1 + static_cast<uint32_t>(rnd.Chance(0.05) ? 3 * block : 0);
        a.Run(run);
        b.Run(run);
    }
    a.Run(static_cast<uint32_t>(3 * block));
    b.Run(static_cast<uint32_t>(3 * block));
    Compare(ctx, a, b);
    ctx.figures["random events"] += static_cast<double>(done);
    AddFigures(ctx, a);
    AddFigures(ctx, b);
}
void StressFinite(Context& ctx) {
    Stress(ctx, false);
}
void StressHostile(Context& ctx) {
    Stress(ctx, true);
}

void MidiFlood(Context& ctx) {
    Randomness rnd(ctx.seed);
    StrictDsp a(ctx.plugin, ctx.findings, 44100.0, 64);
    StrictDsp b(ctx.plugin, ctx.findings, 44100.0, 64);
    if (!a.Create() || !b.Create()) return;
    std::vector<int32_t> midi;
    for (int32_t pin : a.Inputs()) {
        if (a.Describe(pin).datatype == DT_MIDI_STREAM) midi.push_back(pin);
    }
    if (midi.empty()) {
        ctx.skipped = "no MIDI input";
        return;
    }
    a.Open();
    b.Open();
    auto send = [&](int32_t pin, uint32_t at, int32_t msg, int16_t v2) {
        a.SendMidi(pin, at, msg, v2);
        b.SendMidi(pin, at, msg, v2);
    };
    uint64_t sent = 0;
    while (sent < ctx.iterations) {
        const int32_t pin = midi[rnd.Int(0, midi.size() - 1)];
        const uint32_t at = a.Clock() + static_cast<uint32_t>(rnd.Int(0, 200));
        switch (rnd.Int(0, 4)) {
            case 0: {  // every key held at once, then released in random order
                std::vector<int32_t> keys(128);
                for (int32_t k = 0; k < 128; ++k) keys[k] = k;
                const int32_t ch = static_cast<int32_t>(rnd.Int(0, 15));
                for (int32_t k : keys) send(pin, at, 0x90 | ch | (k << 8) | (100 << 16), 0);
                std::shuffle(keys.begin(), keys.end(), std::mt19937_64(rnd.Next()));
                for (int32_t k : keys) send(pin, at + 1, 0x80 | ch | (k << 8), 0);
                sent += 256;
                break;
            }
            case 1: {  // one key struck many times, released fewer times
                const int32_t key = static_cast<int32_t>(rnd.Int(0, 127));
                for (int32_t i = 0; i < 100; ++i) send(pin, at, 0x90 | (key << 8) | (64 << 16), 0);
                for (int32_t i = 0; i < 30; ++i) send(pin, at + 2, 0x90 | (key << 8), 0);
                sent += 130;
                break;
            }
            default: {  // a burst of anything at one clock
                const int32_t n = static_cast<int32_t>(rnd.Int(1, 200));
                for (int32_t i = 0; i < n; ++i) {
                    send(pin, at, rnd.Midi(), static_cast<int16_t>(rnd.Int(-32768, 32767)));
                }
                sent += static_cast<uint64_t>(n);
                break;
            }
        }
        if (rnd.Chance(0.2)) RandomChanges(rnd, {&a, &b}, 1, 100, false);
        const uint32_t run = at - a.Clock() + 3 + static_cast<uint32_t>(rnd.Int(0, 300));
        a.Run(run);
        b.Run(run);
    }
    a.Run(256);
    b.Run(256);
    Compare(ctx, a, b);
    ctx.figures["MIDI messages"] += static_cast<double>(sent);
    AddFigures(ctx, a);
    AddFigures(ctx, b);
}

// ---- the GUI side ----------------------------------------------------------------------------
void GuiEdits(Context& ctx) {
    Findings& f = ctx.findings;
    Randomness rnd(ctx.seed);
    std::vector<PinInfo> pins;
    {
        StrictDsp d(ctx.plugin, f, 44100.0, 64);
        if (!d.Create()) return;
        pins = d.Descriptions();
    }
    StrictGui a(ctx.plugin, f, pins);
    StrictGui b(ctx.plugin, f, pins);
    if (!a.Create()) {
        ctx.skipped = "no GUI side";
        return;
    }
    if (!b.Create()) {
        f.Fail("gui", "a second GUI instance could not be made");
        return;
    }
    a.Init(true);
    b.Init(true);
    std::vector<int32_t> targets;
    for (const PinInfo& p : pins) {
        if (p.IsGuiSide()) targets.push_back(p.index);
    }
    if (targets.empty()) {
        for (const PinInfo& p : pins) targets.push_back(p.index);
    }
    if (targets.empty()) {
        ctx.skipped = "no pins";
        return;
    }
    uint64_t edits = 0;
    int64_t first_difference = -1;
    for (; edits < ctx.iterations; ++edits) {
        const int32_t index = targets[rnd.Int(0, targets.size() - 1)];
        const PinInfo& p = pins[index];
        switch (p.datatype) {
            case DT_STRING: {
                const std::string t = rnd.Text();
                a.EditText(index, t);
                b.EditText(index, t);
                break;
            }
            case DT_REAL32:
            case DT_FSAMPLE: {
                const float v = rnd.Sample(true);
                a.EditFloat(index, v);
                b.EditFloat(index, v);
                break;
            }
            default: {
                const auto v = static_cast<int32_t>(rnd.PinValue(p, true));
                a.EditInt(index, v);
                b.EditInt(index, v);
                break;
            }
        }
        if (rnd.Chance(0.02)) {
            a.Dispatch(GUI_OP10);
            b.Dispatch(GUI_OP10);
        }
        if (rnd.Chance(0.01)) {
            const bool flag = rnd.Chance(0.5);
            a.Init(flag);
            b.Init(flag);
        }
        if (first_difference < 0 && (edits % 50 == 49) && a.Snapshot() != b.Snapshot()) {
            first_difference = static_cast<int64_t>(edits);
        }
    }
    if (first_difference < 0 && a.Snapshot() != b.Snapshot()) first_difference = edits;
    if (first_difference >= 0) {
        f.Fail("same inputs, same outputs",
               Fmt("two GUI instances given the same edits hold different pin values after "
                   "edit %" PRId64,
                   first_difference));
    }
    ctx.figures["GUI edits"] += static_cast<double>(edits);
    ctx.figures["GUI notifications"] += static_cast<double>(a.Notifications() + b.Notifications());
}

// ---- both sides together, carried by the substitute host -----------------------------------
// The GUI side and the DSP side of one module wired as the host wires them: GUI edits
// reach the DSP side and DSP announcements reach the GUI side while audio runs.
void BothSides(Context& ctx) {
    Findings& f = ctx.findings;
    {
        StrictGui probe(ctx.plugin, f, {});
        if (!probe.Create()) {
            ctx.skipped = "no GUI side";
            return;
        }
    }
    Randomness rnd(ctx.seed);
    try {
        ModuleInstance m(ctx.plugin, 44100.0, 64);
        m.Dsp().SetRecording(false);
        const std::vector<PinInfo>& pins = m.Gui().Pins();
        // A DSP output "X - Out" feeds the GUI pin "X - In", as a patch wires such pairs.
        for (const PinInfo& out : pins) {
            const std::string suffix = " - Out";
            if (!out.IsOutput() || out.dsp_index < 0 || out.name.size() <= suffix.size() ||
                out.name.compare(out.name.size() - suffix.size(), suffix.size(), suffix) != 0) {
                continue;
            }
            const std::string in = out.name.substr(0, out.name.size() - suffix.size()) + " - In";
            for (const PinInfo& p : pins) {
                if (p.name == in && p.IsGuiSide()) m.Carry(out.name, in);
            }
        }
        m.Open(true);
        std::vector<int32_t> gui_pins, dsp_inputs;
        for (const PinInfo& p : pins) {
            if (p.IsGuiSide()) gui_pins.push_back(p.index);
        }
        for (int32_t k = 0; k < m.Dsp().PinCount(); ++k) {
            const PinInfo& p = m.Dsp().DspPinInfo(k);
            if (!p.IsOutput() && p.datatype != DT_STRING && p.datatype != DT_MIDI_STREAM) {
                dsp_inputs.push_back(k);
            }
        }
        const uint64_t steps = std::max<uint64_t>(1, ctx.iterations / 4);
        for (uint64_t i = 0; i < steps; ++i) {
            if (!gui_pins.empty() && (dsp_inputs.empty() || rnd.Chance(0.6))) {
                const int32_t index = gui_pins[rnd.Int(0, gui_pins.size() - 1)];
                const PinInfo& p = pins[index];
                if (p.datatype == DT_STRING) {
                    m.Gui().SetText(index, rnd.Text());
                } else if (p.datatype == DT_REAL32 || p.datatype == DT_FSAMPLE) {
                    m.Gui().SetFloat(index, rnd.Sample(true));
                } else {
                    m.Gui().SetInt(index, static_cast<int32_t>(rnd.PinValue(p, true)));
                }
            } else if (!dsp_inputs.empty()) {
                const int32_t k = dsp_inputs[rnd.Int(0, dsp_inputs.size() - 1)];
                m.Dsp().SetValue(k, rnd.PinValue(m.Dsp().DspPinInfo(k), true),
                                 m.Dsp().Clock() + static_cast<uint32_t>(rnd.Int(0, 100)));
            }
            m.Run(static_cast<uint32_t>(rnd.Int(1, 300)));
        }
        ctx.figures["both-sides steps"] += static_cast<double>(steps);
        ctx.figures["values carried between the sides"] += static_cast<double>(m.Carried());
    } catch (const std::exception& e) {
        f.Fail("both sides", std::string("the substitute host stopped: ") + e.what());
    }
}

}  // namespace

const std::vector<TestCase>& Tests() {
    static const std::vector<TestCase> kTests = {
        {"identity", "identity, entry points and records", &Identity},
        {"pins", "pin descriptions readable and within the description rule", &Pins},
        {"opcodes", "unused opcodes, unknown events and statuses ignored", &Opcodes},
        {"lifecycle", "open/close cycles without leaks", &Lifecycle},
        {"rates", "every sample rate and block size", &Rates},
        {"stress", "random finite inputs at random clocks, two instances alike", &StressFinite},
        {"hostile", "NaN, infinities, huge values, out-of-list choices, random MIDI",
         &StressHostile},
        {"midi", "MIDI floods: every key, repeated keys, random bytes", &MidiFlood},
        {"gui", "random edits of the GUI side: texts, numbers, re-entrant writes", &GuiEdits},
        {"both", "both sides carried by the substitute host while audio runs", &BothSides},
    };
    return kTests;
}

}  // namespace kvhost::validate
