// Patch files (JSON) and running a patch: instances created and set, wires connected, the
// modules run in wiring order block by block, statuses passed downstream at their clocks.
#include "kvhost/patch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "values.h"

namespace kvhost {

using nlohmann::json;

namespace {

// Names and values in messages come from the patch: long ones are cut.
std::string Describe(const PatchPin& p) {
    return p.module + "." + p.pin;
}

// Line and column (both from 1) of a byte offset.
std::pair<std::size_t, std::size_t> LineColumn(const std::string& text, std::size_t byte) {
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < byte && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return {line, column};
}

// Byte offset of the `nth` (from 0) key `"key"` (a quoted name followed by a colon) at or
// after `from`, or npos. The JSON reader keeps no positions; this finds them for messages.
std::size_t KeyOffset(const std::string& text, const std::string& key, std::size_t from,
                      std::size_t nth) {
    const std::string quoted = "\"" + key + "\"";
    for (std::size_t at = text.find(quoted, from); at != std::string::npos;
         at = text.find(quoted, at + 1)) {
        const std::size_t colon = text.find_first_not_of(" \t\r\n", at + quoted.size());
        if (colon == std::string::npos || text[colon] != ':') continue;
        if (nth-- == 0) return at;
    }
    return std::string::npos;
}

class Reader {
  public:
    explicit Reader(const std::string& source) : source_(source) {}

    [[noreturn]] void Fail(const std::string& what) const { throw Error(source_ + ": " + what); }

    void OnlyKeys(const json& j, std::initializer_list<const char*> keys,
                  const std::string& where) const {
        for (const auto& item : j.items()) {
            if (std::find_if(keys.begin(), keys.end(),
                             [&](const char* k) { return item.key() == k; }) == keys.end()) {
                Fail("unknown key " + QuoteText(item.key()) + " in " + where);
            }
        }
    }
    double Number(const json& j, const std::string& what) const {
        if (!j.is_number()) Fail(what + " must be a number");
        return j.get<double>();
    }
    std::string Text(const json& j, const std::string& what) const {
        if (!j.is_string()) Fail(what + " must be a text");
        return j.get<std::string>();
    }
    // "module.pin" (split at the first dot) or ["module", "pin"].
    PatchPin Pin(const json& j, const std::string& what) const {
        if (j.is_array() && j.size() == 2 && j[0].is_string() && j[1].is_string()) {
            return {j[0].get<std::string>(), j[1].get<std::string>()};
        }
        if (j.is_string()) {
            const std::string s = j.get<std::string>();
            const auto dot = s.find('.');
            if (dot != std::string::npos && dot > 0 && dot + 1 < s.size()) {
                return {s.substr(0, dot), s.substr(dot + 1)};
            }
        }
        Fail(what + " must name a pin as \"module.pin\" or [\"module\", \"pin\"]");
    }
    std::string SettingText(const json& j, const std::string& what) const {
        if (j.is_string()) return j.get<std::string>();
        if (j.is_boolean()) return j.get<bool>() ? "1" : "0";
        if (j.is_number()) return j.dump();
        Fail(what + " must be a number, a text or true/false");
    }

  private:
    const std::string& source_;
};

// "voices": {"count": N, "modules": [...]} or a list of such groups. Errors name the file and
// the line of the group's "count" (or of "voices").
void ReadVoices(const json& v, const std::string& text, const std::string& source,
                PatchPlan& plan) {
    const std::size_t top = KeyOffset(text, "voices", 0, 0);
    const std::vector<json> groups =
        v.is_array() ? v.get<std::vector<json>>() : std::vector<json>{v};
    for (std::size_t g = 0; g < groups.size(); ++g) {
        std::size_t at = KeyOffset(text, "count", top == std::string::npos ? 0 : top, g);
        if (at == std::string::npos) at = top;
        const std::string place =
            source +
            (at == std::string::npos ? "" : ":" + std::to_string(LineColumn(text, at).first));
        const std::string group =
            groups.size() == 1 ? "\"voices\"" : "\"voices\" group " + std::to_string(g + 1);
        const Reader r(place);  // keeps a reference
        const json& j = groups[g];
        if (!j.is_object() || !j.contains("count") || !j.contains("modules")) {
            r.Fail(group + " must be {\"count\": N, \"modules\": [\"name\", ...]}" +
                   (v.is_array() ? "" : " or a list of such groups"));
        }
        r.OnlyKeys(j, {"count", "modules", "sleep", "comment"}, group);
        const json& count = j["count"];
        if (!count.is_number() || count.get<double>() != std::floor(count.get<double>()) ||
            count.get<double>() < 1 || count.get<double>() > 128) {
            r.Fail(group + ": \"count\" " + count.dump() + " is not a whole number 1-128");
        }
        PatchPlan::Voices voices;
        voices.count = count.get<int32_t>();
        if (j.contains("sleep")) {
            if (!j["sleep"].is_boolean())
                r.Fail(group + ": \"sleep\" " + j["sleep"].dump() + " is not true or false");
            voices.sleep = j["sleep"].get<bool>();
        }
        if (!j["modules"].is_array() || j["modules"].empty()) {
            r.Fail(group + ": \"modules\" must be a list of at least one module name");
        }
        for (const json& m : j["modules"]) {
            const std::string name = r.Text(m, group + ": each of \"modules\"");
            const auto known = std::find_if(plan.modules.begin(), plan.modules.end(),
                                            [&](const auto& mod) { return mod.name == name; });
            if (known == plan.modules.end()) r.Fail(group + ": no module named " + QuoteText(name));
            for (const auto& other : plan.voices) {
                if (std::find(other.modules.begin(), other.modules.end(), name) !=
                    other.modules.end()) {
                    r.Fail(group + ": module " + QuoteText(name) + " is already in another group");
                }
            }
            if (std::find(voices.modules.begin(), voices.modules.end(), name) !=
                voices.modules.end()) {
                r.Fail(group + " names module " + QuoteText(name) + " twice");
            }
            voices.modules.push_back(name);
        }
        plan.voices.push_back(std::move(voices));
    }
}

}  // namespace

PatchPlan ParsePatch(const std::string& text, const std::string& source,
                     const std::string& folder) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        const std::size_t byte = e.byte > 0 ? e.byte - 1 : 0;
        const auto [line, column] = LineColumn(text, byte);
        std::string why = e.what();
        const auto colon = why.find(": ", why.find("column"));
        if (colon != std::string::npos) why = why.substr(colon + 2);
        throw Error(source + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
                    why);
    } catch (const json::exception& e) {
        // Errors the reader meets past the syntax (a number too large for a double) carry
        // no position; the message still names the file.
        std::string why = e.what();
        const auto tag = why.find("] ");
        if (tag != std::string::npos) why = why.substr(tag + 2);
        throw Error(source + ": " + why);
    }
    Reader r(source);
    PatchPlan plan;
    plan.source = source;
    plan.folder = folder;
    if (!root.is_object()) r.Fail("a patch is a JSON object");
    r.OnlyKeys(root,
               {"sample_rate", "block_size", "seconds", "modules", "voices", "wires", "midi",
                "audio", "comment", "name", "id", "controls"},
               "the patch");
    if (root.contains("name")) plan.name = r.Text(root["name"], "\"name\"");
    if (root.contains("id")) plan.id = r.Text(root["id"], "\"id\"");
    if (root.contains("sample_rate")) {
        plan.sample_rate_given = true;
        plan.sample_rate = r.Number(root["sample_rate"], "\"sample_rate\"");
        if (!(plan.sample_rate >= 1000.0 && plan.sample_rate <= 768000.0)) {
            r.Fail("\"sample_rate\" " + root["sample_rate"].dump() + " is out of range");
        }
    }
    if (root.contains("block_size")) {
        const double b = r.Number(root["block_size"], "\"block_size\"");
        if (b != std::floor(b) || b < 1 || b > 65536) {
            r.Fail("\"block_size\" " + root["block_size"].dump() +
                   " is not a whole number 1-65536");
        }
        plan.block_size = static_cast<int32_t>(b);
    }
    if (root.contains("seconds")) {
        plan.seconds = r.Number(root["seconds"], "\"seconds\"");
        if (!(*plan.seconds > 0.0 && *plan.seconds <= 3600.0)) {
            r.Fail("\"seconds\" " + root["seconds"].dump() + " is out of range (0-3600]");
        }
        if (std::llround(*plan.seconds * plan.sample_rate) < 1) {
            r.Fail("\"seconds\" " + root["seconds"].dump() + " is shorter than one sample at " +
                   std::to_string(std::lround(plan.sample_rate)) + " Hz");
        }
    }
    if (!root.contains("modules") || !root["modules"].is_array() || root["modules"].empty()) {
        r.Fail("\"modules\" must be a list of at least one module");
    }
    for (const json& m : root["modules"]) {
        if (!m.is_object()) r.Fail("each module is an object with \"name\" and \"plugin\"");
        PatchPlan::Module mod;
        if (!m.contains("name")) r.Fail("a module has no \"name\"");
        mod.name = r.Text(m["name"], "a module's \"name\"");
        const std::string where = "module " + QuoteText(mod.name);
        // "ui": where an editor placed the module's card; running a patch ignores it.
        r.OnlyKeys(m, {"name", "plugin", "pins", "stored", "comment", "ui"}, where);
        if (m.contains("ui") && !m["ui"].is_object()) r.Fail(where + ": \"ui\" must be an object");
        if (mod.name.empty() || mod.name.find('.') != std::string::npos) {
            r.Fail(where + ": a module name is not empty and holds no '.'");
        }
        for (const auto& other : plan.modules) {
            if (other.name == mod.name) r.Fail(where + " appears twice");
        }
        if (!m.contains("plugin")) r.Fail(where + " has no \"plugin\"");
        mod.plugin = r.Text(m["plugin"], where + ": \"plugin\"");
        if (m.contains("pins")) {
            if (!m["pins"].is_object()) r.Fail(where + ": \"pins\" must be an object");
            for (const auto& item : m["pins"].items()) {
                mod.settings.push_back(
                    {item.key(),
                     r.SettingText(item.value(), where + ", pin " + QuoteText(item.key()))});
            }
        }
        if (m.contains("stored")) {
            if (!m["stored"].is_object()) r.Fail(where + ": \"stored\" must be an object");
            for (const auto& item : m["stored"].items()) {
                mod.stored.push_back(
                    {item.key(),
                     r.SettingText(item.value(), where + ", stored pin " + QuoteText(item.key()))});
            }
        }
        plan.modules.push_back(std::move(mod));
    }
    if (root.contains("voices")) ReadVoices(root["voices"], text, source, plan);
    if (root.contains("wires")) {
        if (!root["wires"].is_array()) r.Fail("\"wires\" must be a list");
        for (const json& w : root["wires"]) {
            if (w.is_array() && w.size() == 2) {
                plan.wires.push_back({r.Pin(w[0], "a wire's start"), r.Pin(w[1], "a wire's end")});
                continue;
            }
            if (!w.is_object() || !w.contains("from") || !w.contains("to")) {
                r.Fail("each wire is {\"from\": \"module.pin\", \"to\": \"module.pin\"}");
            }
            r.OnlyKeys(w, {"from", "to"}, "a wire");
            plan.wires.push_back({r.Pin(w["from"], "\"from\""), r.Pin(w["to"], "\"to\"")});
        }
    }
    if (root.contains("midi")) {
        const json& m = root["midi"];
        if (m.is_string()) {
            plan.midi_live = m.get<std::string>() == "live";
            if (!plan.midi_live) plan.midi_file = m.get<std::string>();
        } else {
            if (!m.is_object()) r.Fail("\"midi\" must be a file name or {\"file\", \"to\"}");
            r.OnlyKeys(m, {"file", "live", "to"}, "\"midi\"");
            if (m.contains("file")) plan.midi_file = r.Text(m["file"], "\"midi\": \"file\"");
            if (m.contains("live")) {
                if (!m["live"].is_boolean()) r.Fail("\"midi\": \"live\" must be true or false");
                plan.midi_live = m["live"].get<bool>();
                if (plan.midi_live && plan.midi_file) {
                    r.Fail("\"midi\" is either a \"file\" or \"live\", not both");
                }
            }
            if (m.contains("to")) plan.midi_to = r.Pin(m["to"], "\"midi\": \"to\"");
        }
    }
    if (root.contains("audio")) {
        const json& a = root["audio"];
        if (!a.is_object()) r.Fail("\"audio\" must be an object with \"outputs\"");
        r.OnlyKeys(a, {"outputs", "gain", "format"}, "\"audio\"");
        if (a.contains("outputs")) {
            if (!a["outputs"].is_array() || a["outputs"].empty()) {
                r.Fail("\"audio\": \"outputs\" must be a list of at least one pin");
            }
            for (const json& o : a["outputs"]) plan.outputs.push_back(r.Pin(o, "an audio output"));
        }
        if (a.contains("gain")) plan.gain = r.Number(a["gain"], "\"audio\": \"gain\"");
        if (a.contains("format")) {
            plan.sample_format = r.Text(a["format"], "\"audio\": \"format\"");
            if (*plan.sample_format != "float" && *plan.sample_format != "pcm24") {
                r.Fail("\"audio\": \"format\" must be \"float\" or \"pcm24\"");
            }
        }
    }
    if (root.contains("controls")) {
        const json& c = root["controls"];
        if (!c.is_array()) r.Fail("\"controls\" must be a list of {\"pin\": \"module.pin\"}");
        plan.controls.emplace();
        for (const json& e : c) {
            PatchPlan::Control control;
            if (e.is_string()) {
                control.pin = r.Pin(e, "a control");
            } else {
                if (!e.is_object() || !e.contains("pin")) {
                    r.Fail("each control is \"module.pin\" or {\"pin\": \"module.pin\"}");
                }
                r.OnlyKeys(e, {"pin", "label", "min", "max"}, "a control");
                control.pin = r.Pin(e["pin"], "a control's \"pin\"");
                if (e.contains("label"))
                    control.label = r.Text(e["label"], "a control's \"label\"");
                if (e.contains("min")) control.minimum = r.Number(e["min"], "a control's \"min\"");
                if (e.contains("max")) control.maximum = r.Number(e["max"], "a control's \"max\"");
                if (control.minimum && control.maximum && !(*control.minimum < *control.maximum)) {
                    r.Fail("control " + QuoteText(control.pin.module + "." + control.pin.pin) +
                           ": \"min\" must lie below \"max\"");
                }
            }
            plan.controls->push_back(std::move(control));
        }
    }
    return plan;
}

std::string ReadWholeFile(const std::string& path, const std::string& what) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        throw Error(path + ": is a folder, not a " + what);
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot open " + what);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad() || text.bad()) throw Error(path + ": cannot read " + what);
    return text.str();
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::filesystem::path target(path);
    const std::filesystem::path temp =
        target.parent_path() /
        ("." + target.filename().string() + ".saving-" + std::to_string(::getpid()));
    const auto fail = [&](const char* what) {
        const std::string why = std::strerror(errno);
        ::unlink(temp.c_str());
        throw Error(path + ": cannot " + what + " (" + why + ")");
    };
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("write it");
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            fail("write it");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        ::close(fd);
        fail("flush it to the disk");
    }
    if (::close(fd) != 0) fail("write it");
    if (::rename(temp.c_str(), target.c_str()) != 0) fail("replace it");
}

PatchPlan LoadPatch(const std::string& path) {
    const std::string text = ReadWholeFile(path, "patch file");
    const auto slash = path.find_last_of('/');
    return ParsePatch(text, path, slash == std::string::npos ? "." : path.substr(0, slash));
}

// ---- Running a patch ---------------------------------------------------------------

void Patch::Fail(const std::string& what) const {
    throw Error(plan_.source + ": " + what);
}

Patch::Node& Patch::Find(const PatchPin& ref, const char* role) {
    for (Node& n : nodes_) {
        if (n.name == ref.module) return n;
    }
    Fail(std::string(role) + " " + QuoteText(Describe(ref)) + ": no module named " +
         QuoteText(ref.module));
}

std::optional<std::string> MidiFilePath(const PatchPlan& plan,
                                        const std::optional<std::string>& override) {
    if (override) return override;
    if (!plan.midi_file || plan.midi_file->empty()) return std::nullopt;
    if (plan.midi_file->front() == '/') return plan.midi_file;
    return plan.folder + "/" + *plan.midi_file;
}

namespace {

PatchOptions Observed(PatchStatusObserver observer) {
    PatchOptions options;
    options.observer = std::move(observer);
    return options;
}

}  // namespace

Patch::Patch(const PatchPlan& plan, StatusObserver observer)
    : Patch(plan, Observed(std::move(observer))) {}

Patch::Patch(const PatchPlan& plan, PatchOptions options)
    : plan_(plan), options_(std::move(options)), run_clock_(options_.start_clock) {
    Build();
    Wire();
    PlaceOutputs();
    FindMidiInput();
    PlanSleep();
    Start();
}

void Patch::Build() {
    // Wiring order: every module after the modules that feed it, file order otherwise.
    const std::size_t count = plan_.modules.size();
    auto index_of = [&](const PatchPin& p, const char* role) -> std::size_t {
        for (std::size_t i = 0; i < count; ++i) {
            if (plan_.modules[i].name == p.module) return i;
        }
        Fail(std::string(role) + " " + QuoteText(Describe(p)) + ": no module named " +
             QuoteText(p.module));
    };
    std::vector<std::vector<std::size_t>> feeds(count);
    std::vector<int> waiting(count, 0);
    for (const auto& w : plan_.wires) {
        const std::size_t a = index_of(w.from, "wire from");
        const std::size_t b = index_of(w.to, "wire to");
        if (a == b) Fail("wire " + Describe(w.from) + " -> " + Describe(w.to) + " loops back");
        feeds[a].push_back(b);
        ++waiting[b];
    }
    std::vector<std::size_t> order;
    std::vector<bool> placed(count, false);
    while (order.size() < count) {
        std::size_t next = count;
        for (std::size_t i = 0; i < count && next == count; ++i) {
            if (!placed[i] && waiting[i] == 0) next = i;
        }
        if (next == count) {
            std::string loop;
            for (std::size_t i = 0; i < count; ++i) {
                if (!placed[i])
                    loop += (loop.empty() ? "" : ", ") + QuoteText(plan_.modules[i].name);
            }
            Fail("the wires form a loop through " + loop);
        }
        placed[next] = true;
        order.push_back(next);
        for (std::size_t b : feeds[next]) --waiting[b];
    }
    auto group_of = [&](const std::string& name) {
        for (std::size_t g = 0; g < plan_.voices.size(); ++g) {
            const auto& names = plan_.voices[g].modules;
            if (std::find(names.begin(), names.end(), name) != names.end()) {
                return static_cast<int32_t>(g);
            }
        }
        return -1;
    };

    std::map<std::string, std::shared_ptr<Plugin>> plugins;
    nodes_.reserve(count);
    for (std::size_t i : order) {
        const auto& m = plan_.modules[i];
        const std::string where = "module " + QuoteText(m.name);
        Node& node = nodes_.emplace_back();
        node.name = m.name;
        node.group = group_of(m.name);
        const int32_t copies = node.group < 0 ? 1 : plan_.voices[node.group].count;
        std::shared_ptr<Plugin>& plugin = plugins[m.plugin];
        std::vector<std::pair<int32_t, double>> initial;  // checked on the first copy
        for (int32_t k = 0; k < copies; ++k) {
            try {
                if (!plugin) {
                    plugin = options_.load_plugin ? options_.load_plugin(m.plugin)
                                                  : Plugin::LoadFromSearchPath(m.plugin);
                }
                node.copies.push_back(
                    std::make_unique<DspInstance>(plugin, plan_.sample_rate, plan_.block_size));
            } catch (const LoadError& e) {
                throw LoadError(plan_.source + ": " + where + ": " + e.what());
            } catch (const Error& e) {
                Fail(where + ": " + e.what());
            }
            DspInstance& dsp = *node.copies.back();
            dsp.SetRecording(false);
            dsp.SetLogging(false);
            if (k == 0) {
                initial = CheckedSettings(m, dsp);
                CheckStored(m, dsp);
            }
            for (const auto& [pin, value] : initial) dsp.SetInitial(pin, value);
        }
        order_names_.push_back(m.name);
    }
}

void Patch::Wire() {
    // Copy to copy within a group, to every copy from outside it.
    std::vector<std::pair<DspInstance*, int32_t>> wired;
    for (const auto& w : plan_.wires) {
        const std::string what = "wire " + Describe(w.from) + " -> " + Describe(w.to);
        Node& from = Find(w.from, "wire from");
        Node& to = Find(w.to, "wire to");
        if (from.group >= 0 && from.group != to.group) {
            Fail(what + ": " + QuoteText(from.name) +
                 " plays in voices whose outputs reach only the \"audio\" outputs (summed) or "
                 "modules of its own group");
        }
        int32_t a = -1, b = -1;
        try {
            a = from.copies[0]->DspPin(w.from.pin);
            b = to.copies[0]->DspPin(w.to.pin);
        } catch (const Error& e) {
            Fail(what + ": " + e.what());
        }
        const PinInfo& pa = from.copies[0]->DspPinInfo(a);
        const PinInfo& pb = to.copies[0]->DspPinInfo(b);
        if (!pa.IsOutput()) Fail(what + ": " + QuoteText(pa.name) + " is not an output");
        if (pb.IsOutput()) Fail(what + ": " + QuoteText(pb.name) + " is not an input");
        if (!Wireable(pa, pb)) {
            Fail(what + ": cannot connect " + DataTypeName(pa.datatype) + " to " +
                 DataTypeName(pb.datatype));
        }
        for (const auto& [d, p] : wired) {
            if (d == to.copies[0].get() && p == b) {
                Fail(what + ": " + QuoteText(Describe(w.to)) + " is wired twice");
            }
        }
        for (const auto& m : plan_.modules) {
            if (m.name != w.to.module) continue;
            for (const auto& s : m.settings) {
                if (s.pin == w.to.pin) Fail(what + ": the pin is both wired and set");
            }
        }
        wired.emplace_back(to.copies[0].get(), b);
        for (std::size_t k = 0; k < to.copies.size(); ++k) {
            from.copies[from.group >= 0 ? k : 0]->Connect(a, *to.copies[k], b);
        }
    }
    // The observer hears each announced status after the wires took it.
    for (std::size_t n = 0; options_.observer && n < nodes_.size(); ++n) {
        const DspInstance* src = nodes_[n].copies[0].get();
        nodes_[n].copies[0]->SetStatusListener(
            [this, src, n](const DspInstance::StatusRecord& s) { options_.observer(n, *src, s); });
    }
}

void Patch::PlaceOutputs() {
    // As listed, or the first sample output of the last module.
    std::vector<PatchPin> outs = plan_.outputs;
    if (outs.empty()) {
        const DspInstance& last = *nodes_.back().copies[0];
        for (const PinInfo& p : last.Pins()) {
            if (p.dsp_index >= 0 && p.IsOutput() && p.datatype == DT_FSAMPLE) {
                outs.push_back({nodes_.back().name, p.name});
                break;
            }
        }
        if (outs.empty())
            Fail("no \"audio\" outputs given and the last module has no sample output");
    }
    for (const PatchPin& o : outs) {
        Node& node = Find(o, "audio output");
        int32_t pin = -1;
        try {
            pin = node.copies[0]->DspPin(o.pin);
        } catch (const Error& e) {
            Fail("audio output " + QuoteText(Describe(o)) + ": " + e.what());
        }
        const PinInfo& info = node.copies[0]->DspPinInfo(pin);
        if (!info.IsOutput() || info.datatype != DT_FSAMPLE) {
            Fail("audio output " + QuoteText(Describe(o)) + " is not a sample output");
        }
        Output& out = outputs_.emplace_back();
        out.pin = pin;
        for (const auto& copy : node.copies) out.copies.push_back(copy.get());
    }
    output_pins_ = outs;
    const auto block = static_cast<std::size_t>(plan_.block_size);
    mix_store_.resize(outputs_.size());
    for (std::size_t c = 0; c < outputs_.size(); ++c) {
        if (outputs_[c].copies.size() > 1 || plan_.gain != 1.0) mix_store_[c].assign(block, 0.0f);
        mix_.push_back(outputs_[c].copies[0]->Buffer(outputs_[c].pin));
    }
}

void Patch::FindMidiInput() {
    if (plan_.midi_to) {
        midi_node_ = &Find(*plan_.midi_to, "MIDI input");
        try {
            midi_pin_ = midi_node_->copies[0]->DspPin(plan_.midi_to->pin);
        } catch (const Error& e) {
            Fail(std::string("MIDI input: ") + e.what());
        }
        if (midi_node_->copies[0]->DspPinInfo(midi_pin_).datatype != DT_MIDI_STREAM) {
            Fail("MIDI input " + QuoteText(Describe(*plan_.midi_to)) + " is not a MIDI input");
        }
    } else {
        for (Node& n : nodes_) {
            for (const PinInfo& p : n.copies[0]->Pins()) {
                if (midi_node_ == nullptr && p.dsp_index >= 0 && !p.IsOutput() &&
                    p.datatype == DT_MIDI_STREAM) {
                    midi_node_ = &n;
                    midi_pin_ = p.dsp_index;
                }
            }
        }
    }
    if (midi_node_ == nullptr) return;
    const auto copies = static_cast<int32_t>(midi_node_->copies.size());
    if (copies > 1) router_.emplace(copies);
    last_at_.assign(midi_node_->copies.size(), 0);
}

void Patch::Start() {
    const auto start = static_cast<uint32_t>(options_.start_clock);
    for (Node& n : nodes_) {
        for (const auto& copy : n.copies) {
            if (options_.real_time) {
                // Room for what a block can bring: the inputs' statuses, the module's own
                // posts, and the live messages and changes that arrive between two blocks.
                std::size_t room =
                    64 + 4 * static_cast<std::size_t>(copy->PinCount()) + options_.live_events;
                if (&n == midi_node_) room += 2 * 16;  // a panic's messages
                copy->ReserveEvents(room);
                copy->SetRealTime(true);
            }
            copy->SetStartClock(start);
        }
    }
    for (Node& n : nodes_) {
        for (const auto& copy : n.copies) copy->Open();
    }
}

std::vector<std::pair<int32_t, double>> Patch::CheckedSettings(const PatchPlan::Module& m,
                                                               const DspInstance& dsp) const {
    const std::string where = "module " + QuoteText(m.name);
    std::vector<std::pair<int32_t, double>> initial;
    for (const auto& s : m.settings) {
        int32_t pin = -1;
        try {
            pin = dsp.DspPin(s.pin);
        } catch (const Error& e) {
            std::string names;
            for (const PinInfo& p : dsp.Pins()) {
                if (p.dsp_index >= 0 && !p.IsOutput())
                    names += (names.empty() ? "" : ", ") + QuoteText(p.name);
            }
            Fail(where + " (" + m.plugin + ") has no input pin " + QuoteText(s.pin) +
                 " (its inputs: " + names + ")");
        }
        const PinInfo& info = dsp.DspPinInfo(pin);
        const std::string at = where + ", pin " + QuoteText(s.pin);
        if (info.IsOutput()) Fail(at + " is an output and cannot be set");
        if (info.datatype == DT_MIDI_STREAM || info.datatype == DT_STRING) {
            Fail(at + " takes no value");
        }
        const UserValue checked = CheckUserValue(info, s.text);
        if (!checked.value) Fail(at + ": " + checked.refusal);
        const double value = *checked.value;
        initial.emplace_back(pin, info.datatype == DT_FSAMPLE ? value * 0.1 : value);
    }
    return initial;
}

void Patch::CheckStored(const PatchPlan::Module& m, const DspInstance& dsp) const {
    const std::string where = "module " + QuoteText(m.name);
    for (const auto& s : m.stored) {
        // A name several pins share names none of them: "#N" picks one (as save writes it).
        int32_t index = -1;
        try {
            index = PinNamed(dsp.Pins(), where, s.pin);
        } catch (const Error& e) {
            Fail(std::string(e.what()) + " to restore");
        }
        const PinInfo& pin = dsp.Pins()[static_cast<std::size_t>(index)];
        const std::string at = where + ", stored pin " + QuoteText(s.pin);
        if (!pin.IsGuiSide() && !(pin.IsOutput() && (pin.flags & IO_PATCH_STORE) != 0)) {
            Fail(at +
                 ": only GUI-side pins and stored outputs go under \"stored\"; set DSP "
                 "inputs under \"pins\"");
        }
        const UserValue checked = CheckUserValue(pin, s.text);
        if (!checked.Accepted()) Fail(at + ": " + checked.refusal);
    }
}

Patch::~Patch() {
    // Upstream instances close first: what they announce while closing reaches instances
    // still open, but no longer the observer, whose owner may be half gone.
    if (options_.observer) {
        for (Node& n : nodes_) n.copies[0]->SetStatusListener(nullptr);
    }
    for (Node& n : nodes_) n.copies.clear();
}

DspInstance& Patch::Instance(const std::string& module, int32_t copy) {
    Node& node = Find({module, ""}, "module");
    if (copy < 0 || static_cast<std::size_t>(copy) >= node.copies.size()) {
        Fail("module " + QuoteText(module) + " has no copy " + std::to_string(copy));
    }
    return *node.copies[static_cast<std::size_t>(copy)];
}

int32_t Patch::Copies(const std::string& module) {
    return static_cast<int32_t>(Find({module, ""}, "module").copies.size());
}

std::size_t Patch::DroppedEvents() const {
    std::size_t dropped = 0;
    for (const Node& n : nodes_) {
        for (const auto& copy : n.copies) dropped += copy->DroppedEvents();
    }
    return dropped;
}

std::size_t Patch::IgnoredMidi() const {
    std::size_t ignored = ignored_midi_;
    for (const MidiParser& p : parsers_) ignored += p.Ignored();
    return ignored;
}

// ---- What goes in -------------------------------------------------------------------

void Patch::SetMidi(MidiSequence sequence, bool loop) {
    if (midi_node_ == nullptr) Fail("the patch has no MIDI input to play the MIDI file on");
    midi_ = std::move(sequence);
    midi_loop_ = loop && !midi_.events.empty();
    midi_start_ = options_.start_clock;
    next_midi_ = 0;
    while (next_midi_ < midi_.events.size() &&
           midi_start_ + midi_.events[next_midi_].sample < run_clock_) {
        ++next_midi_;  // already past
    }
}

void Patch::Deliver(int32_t copy, uint64_t at, uint8_t status, uint8_t d1, uint8_t d2) {
    // A copy hears its messages in order even when a later one came with an earlier clock.
    uint64_t& last = last_at_[static_cast<std::size_t>(copy)];
    last = std::max(last, at);
    midi_node_->copies[static_cast<std::size_t>(copy)]->SendMidi(
        midi_pin_, static_cast<uint32_t>(last), status, d1, d2);
}

void Patch::SendMidi(uint64_t at, uint8_t status, uint8_t d1, uint8_t d2) {
    if (midi_node_ == nullptr) Fail("the patch has no MIDI input");
    if (status < 0x80 || status >= 0xF0) {  // no MIDI input of this frame takes the others
        ++ignored_midi_;
        return;
    }
    at = Due(at);
    if (at - run_clock_ >= kFarthest) Fail("a MIDI message lies too far ahead of the clock");
    if (options_.delivery == MidiDelivery::kHost) {
        const MidiEvent e = AsDelivered({0, status, d1, d2});
        status = e.status;
    }
    if ((status & 0xF0) == 0x90 && d2 > 0) last_note_ = d1;
    if (!router_) {
        midi_node_->copies[0]->SendMidi(midi_pin_, static_cast<uint32_t>(at), status, d1, d2);
        return;
    }
    router_->Route(status, d1, d2, [&](int32_t copy, uint8_t s, uint8_t a, uint8_t b) {
        Deliver(copy, at, s, a, b);
    });
}

void Patch::LiveMidi(uint64_t at, const uint8_t* bytes, std::size_t size, int source) {
    MidiParser& parser =
        parsers_[static_cast<std::size_t>(std::clamp(source, 0, kMidiSources - 1))];
    parser.Feed(bytes, size, [&](uint8_t s, uint8_t a, uint8_t b) { SendMidi(at, s, a, b); });
}

void Patch::Panic(uint64_t at) {
    if (midi_node_ == nullptr) return;
    at = Due(at);
    for (int32_t copy = 0; copy < static_cast<int32_t>(midi_node_->copies.size()); ++copy) {
        for (uint8_t channel = 0; channel < 16; ++channel) {
            const auto cc = static_cast<uint8_t>(0xB0 | channel);
            Deliver(copy, at, cc, 123, 0);  // all notes off
            Deliver(copy, at, cc, 120, 0);  // all sound off
        }
    }
    if (router_) router_->Clear();
    for (MidiParser& p : parsers_) p.Reset();
}

void Patch::Set(int32_t node, int32_t dsp_pin, double value, uint64_t at, int32_t status) {
    at = Due(at);
    if (at - run_clock_ >= kFarthest) Fail("a change lies too far ahead of the clock");
    const auto when = static_cast<uint32_t>(at);
    for (const auto& copy : nodes_[static_cast<std::size_t>(node)].copies) {
        if (copy->DspPinInfo(dsp_pin).datatype == DT_FSAMPLE) {
            copy->SetConstant(dsp_pin, static_cast<float>(value), when, status);
        } else {
            copy->SetValue(dsp_pin, value, when, status);
        }
    }
}

float* Patch::FeedInput(int32_t node, int32_t dsp_pin) {
    Node& n = nodes_[static_cast<std::size_t>(node)];
    if (n.copies.size() != 1)
        Fail("module " + QuoteText(n.name) + " plays in voices: no input feed");
    return n.copies[0]->FeedInput(dsp_pin);
}

uint64_t Patch::DefaultLength() const {
    if (plan_.seconds)
        return static_cast<uint64_t>(std::llround(*plan_.seconds * plan_.sample_rate));
    if (!midi_.events.empty()) {
        return uint64_t{midi_.end_sample} + static_cast<uint64_t>(std::llround(plan_.sample_rate));
    }
    return static_cast<uint64_t>(std::llround(5.0 * plan_.sample_rate));
}

// ---- Running ------------------------------------------------------------------------

void Patch::QueueFileMidi(uint64_t end) {
    while (next_midi_ < midi_.events.size()) {
        const MidiEvent& e = midi_.events[next_midi_];
        const uint64_t at = midi_start_ + e.sample;
        if (at >= end) return;
        ++next_midi_;
        SendMidi(at, e.status, e.d1, e.d2);
        if (next_midi_ == midi_.events.size() && midi_loop_) {
            midi_start_ += std::max<uint64_t>(midi_.end_sample, 1);  // again from the end
            next_midi_ = 0;
        }
    }
}

void Patch::RunBlock() {
    const auto block = static_cast<uint32_t>(plan_.block_size);
    QueueFileMidi(run_clock_ + block);
    if (sleep_group_ < 0) {
        for (Node& node : nodes_) {
            for (const auto& copy : node.copies) copy->Run(block);
        }
    } else {
        // A copy falls asleep after a block in which its group outputs were all zero, when no
        // event falls due for it in the next block. Whether it holds a key is not asked: the
        // router decides when a note is sent, which may be long before it is due, and sleep
        // must follow due times alone. A held note sounds, so its copy stays awake.
        // A sleeping copy wakes in the block where an event falls due for any of its instances
        // (a note, a value, a panic, a module's own post); asleep, its instances only move
        // their clock on. Due times alone decide, so sleep does not depend on how far ahead
        // anything was queued.
        for (std::size_t k = 0; k < asleep_.size(); ++k) {
            if (asleep_[k] != 0 && !CopyQuiet(k, run_clock_ + block)) {
                asleep_[k] = 0;
                sleepers_changed_ = true;
            }
        }
        for (Node& node : nodes_) {
            const bool grouped = node.group == sleep_group_;
            for (std::size_t k = 0; k < node.copies.size(); ++k) {
                if (grouped && asleep_[k] != 0) {
                    node.copies[k]->Skip(block);
                } else {
                    node.copies[k]->Run(block);
                }
            }
        }
        for (std::size_t k = 0; k < asleep_.size(); ++k) {
            if (asleep_[k] == 0 && CopyQuiet(k, run_clock_ + 2 * uint64_t{block}) &&
                CopySilent(k)) {
                asleep_[k] = 1;
                sleepers_changed_ = true;
            }
        }
    }
    run_clock_ += block;
    Mix();
    if (options_.after_block) options_.after_block();
}

void Patch::PlanSleep() {
    for (std::size_t g = 0; g < plan_.voices.size(); ++g) {
        if (!plan_.voices[g].sleep) continue;
        const std::string group =
            plan_.voices.size() == 1 ? "\"voices\"" : "\"voices\" group " + std::to_string(g + 1);
        if (midi_node_ == nullptr || midi_node_->group != static_cast<int32_t>(g) || !router_) {
            Fail(group +
                 ": \"sleep\" needs the group's copies to hold the patch's MIDI input "
                 "and to be more than one: a copy wakes at its next note");
        }
        // A module with a GUI side keeps its copies awake: its GUI side may look at them at
        // any time. The rule is the plug-in's, not whether a GUI side is open, so that render
        // and play sleep alike.
        bool gui = false;
        for (const Node& n : nodes_) {
            if (n.group != static_cast<int32_t>(g) || gui) continue;
            try {
                GuiInstance probe(n.copies[0]->GetPlugin());
                gui = true;
            } catch (const LoadError&) {
            }
        }
        if (gui) continue;
        sleep_group_ = static_cast<int32_t>(g);
        asleep_.assign(midi_node_->copies.size(), 0);
        sleep_zero_.resize(outputs_.size());
        for (const Node& n : nodes_) {
            if (n.group == sleep_group_) sleep_nodes_.push_back(&n);
        }
        for (const Output& o : outputs_) {
            if (o.copies.size() == asleep_.size()) {
                for (const Node& n : nodes_) {
                    if (n.group == sleep_group_ && n.copies[0].get() == o.copies[0]) {
                        sleep_outputs_.push_back(&o);
                        sleep_zero_[static_cast<std::size_t>(&o - outputs_.data())].assign(
                            static_cast<std::size_t>(plan_.block_size), -0.0f);
                    }
                }
            }
        }
    }
}

bool Patch::CopyQuiet(std::size_t copy, uint64_t end) const {
    for (const Node* n : sleep_nodes_) {
        if (n->copies[copy]->EventBefore(static_cast<uint32_t>(end))) return false;
    }
    return true;
}

bool Patch::CopySilent(std::size_t copy) const {
    const auto block = static_cast<std::size_t>(plan_.block_size);
    for (const Output* o : sleep_outputs_) {
        const float* buf = o->copies[copy]->Buffer(o->pin);
        for (std::size_t i = 0; i < block; ++i) {
            if (buf[i] != 0.0f) return false;
        }
    }
    return true;
}

int32_t Patch::SleepingCopies() const {
    return static_cast<int32_t>(std::count(asleep_.begin(), asleep_.end(), uint8_t{1}));
}

void Patch::Mix() {
    const auto block = static_cast<std::size_t>(plan_.block_size);
    const float gain = static_cast<float>(plan_.gain);
    for (std::size_t c = 0; c < outputs_.size(); ++c) {
        const Output& o = outputs_[c];
        const bool solo = solo_ >= 0 && o.copies.size() > 1;
        const std::size_t first = solo ? static_cast<std::size_t>(solo_) % o.copies.size() : 0;
        const float* buf = o.copies[first]->Buffer(o.pin);
        if (mix_store_[c].empty()) {  // one copy at unit gain: its own buffer
            mix_[c] = buf;
            continue;
        }
        float* out = mix_store_[c].data();
        mix_[c] = out;
        if (o.copies.size() == 1 || solo) {
            if (gain == 1.0f) {
                std::copy(buf, buf + block, out);
            } else {
                for (std::size_t i = 0; i < block; ++i) out[i] = buf[i] * gain;
            }
            continue;
        }
        if (c < sleep_zero_.size() && !sleep_zero_[c].empty()) {
            MixAwake(c, out);
        } else {
            // Voices summed in copy order.
            std::copy(buf, buf + block, out);
            for (std::size_t k = 1; k < o.copies.size(); ++k) {
                const float* more = o.copies[k]->Buffer(o.pin);
                for (std::size_t i = 0; i < block; ++i) out[i] += more[i];
            }
        }
        if (gain != 1.0f) {
            for (std::size_t i = 0; i < block; ++i) out[i] *= gain;
        }
    }
    sleepers_changed_ = false;
}

// A sleeping copy's outputs are silence that has not changed since it fell asleep. Adding a
// zero leaves every sum as it is except the sign of a zero one: a float sum in any order is
// -0 exactly when every term is -0, and otherwise does not depend on the zeros among its
// terms. So the sleepers' outputs are folded once, when the sleeping copies change (-0 where
// every sleeper holds -0, else +0), and that fold and the awake copies make the same bits as
// every copy summed in order.
void Patch::MixAwake(std::size_t channel, float* out) {
    const auto block = static_cast<std::size_t>(plan_.block_size);
    const Output& o = outputs_[channel];
    float* zero = sleep_zero_[channel].data();
    if (sleepers_changed_) {
        std::fill(zero, zero + block, -0.0f);
        for (std::size_t k = 0; k < o.copies.size(); ++k) {
            if (asleep_[k] == 0) continue;
            const float* quiet = o.copies[k]->Buffer(o.pin);
            for (std::size_t i = 0; i < block; ++i) zero[i] += quiet[i];
        }
    }
    std::copy(zero, zero + block, out);
    for (std::size_t k = 0; k < o.copies.size(); ++k) {
        if (asleep_[k] != 0) continue;
        const float* more = o.copies[k]->Buffer(o.pin);
        for (std::size_t i = 0; i < block; ++i) out[i] += more[i];
    }
}

void Patch::Render(float* interleaved, uint32_t frames) {
    const auto block = static_cast<uint32_t>(plan_.block_size);
    const std::size_t channels = outputs_.size();
    uint32_t done = 0;
    while (done < frames) {
        if (held_ == 0) {
            RunBlock();
            held_ = block;
        }
        const uint32_t pos = block - held_;
        const uint32_t n = std::min(frames - done, held_);
        for (std::size_t c = 0; c < channels; ++c) {
            const float* in = mix_[c] + pos;
            float* out = interleaved + static_cast<std::size_t>(done) * channels + c;
            if (channels == 1) {
                std::copy(in, in + n, out);
            } else {
                for (uint32_t i = 0; i < n; ++i) out[i * channels] = in[i];
            }
        }
        held_ -= n;
        done += n;
    }
}

}  // namespace kvhost
