// Patch files (JSON) and running a patch: instances created and set, wires connected, the
// modules run in wiring order block by block, statuses passed downstream at their clocks.
#include "kvhost/patch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// "midi_map": [{"cc": N, "channel": C, "pin": "module.pin", "min": X, "max": Y}, ...].
void ReadMidiMap(const json& list, const Reader& r, PatchPlan& plan) {
    if (!list.is_array()) {
        r.Fail("\"midi_map\" must be a list of {\"cc\": N, \"pin\": \"module.pin\"}");
    }
    const auto whole = [](const json& j, double low, double high) {
        return j.is_number() && j.get<double>() == std::floor(j.get<double>()) &&
               j.get<double>() >= low && j.get<double>() <= high;
    };
    for (std::size_t k = 0; k < list.size(); ++k) {
        const json& e = list[k];
        const std::string entry = "\"midi_map\" entry " + std::to_string(k + 1);
        if (!e.is_object() || !e.contains("cc") || !e.contains("pin")) {
            r.Fail(entry + " must be {\"cc\": N, \"pin\": \"module.pin\"} (\"channel\", " +
                   "\"min\", \"max\" optional)");
        }
        r.OnlyKeys(e, {"cc", "channel", "pin", "min", "max", "comment"}, entry);
        PatchPlan::MidiMapping m;
        if (!whole(e["cc"], 0, 127)) {
            r.Fail(entry + ": \"cc\" " + e["cc"].dump() + " is not a whole number 0-127");
        }
        m.cc = e["cc"].get<int32_t>();
        if (e.contains("channel")) {
            if (!whole(e["channel"], 1, 16)) {
                r.Fail(entry + ": \"channel\" " + e["channel"].dump() +
                       " is not a whole number 1-16");
            }
            m.channel = e["channel"].get<int32_t>();
        }
        m.pin = r.Pin(e["pin"], entry + ": \"pin\"");
        if (e.contains("min")) m.minimum = r.Number(e["min"], entry + ": \"min\"");
        if (e.contains("max")) m.maximum = r.Number(e["max"], entry + ": \"max\"");
        plan.midi_map.push_back(std::move(m));
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
                "audio", "comment", "name", "id", "controls", "midi_map"},
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
    if (root.contains("midi_map")) ReadMidiMap(root["midi_map"], r, plan);
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
    MakeMidiMap();
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
    } else {
        router_->Route(status, d1, d2, [&](int32_t copy, uint8_t s, uint8_t a, uint8_t b) {
            Deliver(copy, at, s, a, b);
        });
    }
    if ((status & 0xF0) == 0xB0 && mapped_ > 0) ApplyMapped(at, status, d1, d2);
}

void Patch::ApplyMapped(uint64_t at, uint8_t status, uint8_t cc, uint8_t value) {
    for (const int32_t channel : {0, (status & 0x0F) + 1}) {
        for (int32_t k = Chain(channel, cc); k >= 0; k = slots_[static_cast<std::size_t>(k)].next) {
            const Mapping& m = slots_[static_cast<std::size_t>(k)].m;
            if (const std::optional<double> v = MappedValue(m, value)) {
                Set(m.node, m.dsp_pin, *v, at);
            }
        }
    }
}

void Patch::LiveMidi(uint64_t at, const uint8_t* bytes, std::size_t size, int source) {
    MidiParser& parser =
        parsers_[static_cast<std::size_t>(std::clamp(source, 0, kMidiSources - 1))];
    parser.Feed(bytes, size, [&](uint8_t s, uint8_t a, uint8_t b) {
        if ((s & 0xF0) == 0xB0 && options_.live_controller) {
            options_.live_controller(static_cast<uint8_t>(s & 0x0F), a, b);
        }
        SendMidi(at, s, a, b);
    });
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

// ---- Controllers mapped to pins ---------------------------------------------------

namespace {

// Ranges in volts that the modules document for their sample inputs (help texts and
// manuals): pitch inputs span 0 to 10 V, the depth input 0 to 10 V.
struct DocumentedRange {
    const char* module_id;
    const char* pin;
    double low, high;
};
constexpr DocumentedRange kDocumented[] = {
    {"ZOR Warpwave", "Pitch", 0.0, 10.0},    {"ZOR Warpwave", "Modulation Depth", 0.0, 10.0},
    {"ZOR Twin-Op", "OP1 Pitch", 0.0, 10.0}, {"ZOR Twin-Op", "OP2 Pitch", 0.0, 10.0},
    {"ZOR Basic Voice", "Pitch", 0.0, 10.0},
};

bool Discrete(int32_t datatype) {
    return datatype == DT_CHOICE || datatype == DT_SWITCH || datatype == DT_WHOLE32;
}

}  // namespace

std::optional<PinRange> DocumentedVolts(std::string_view module_id, std::string_view pin_name) {
    for (const DocumentedRange& d : kDocumented) {
        if (module_id == d.module_id && pin_name == d.pin) return PinRange{d.low, d.high};
    }
    return std::nullopt;
}

std::string ModuleIdOf(const Plugin& plugin) {
    const char* id = plugin.Info().id;
    return id != nullptr && *id != '\0' ? std::string(id) : plugin.Name();
}

std::optional<PinRange> OwnRange(const PinInfo& pin, std::string_view module_id) {
    switch (pin.datatype) {
        case DT_SWITCH:
            return PinRange{0.0, 1.0};
        case DT_CHOICE: {
            if (!pin.choices) return std::nullopt;
            const ChoiceList list = ParseChoices(*pin.choices);
            if (list.is_range) {
                return PinRange{static_cast<double>(std::min(list.low, list.high)),
                                static_cast<double>(std::max(list.low, list.high))};
            }
            if (list.entries.empty()) return std::nullopt;
            PinRange r{static_cast<double>(list.entries.front().second),
                       static_cast<double>(list.entries.front().second)};
            for (const auto& [label, value] : list.entries) {
                r.low = std::min(r.low, static_cast<double>(value));
                r.high = std::max(r.high, static_cast<double>(value));
            }
            return r;
        }
        case DT_FSAMPLE: {
            PinRange r = DocumentedVolts(module_id, pin.name).value_or(PinRange{-10.0, 10.0});
            const double volts = DefaultNumber(pin);
            if (std::isfinite(volts)) {
                r.low = std::min(r.low, volts);
                r.high = std::max(r.high, volts);
            }
            return r;
        }
        default:
            return std::nullopt;
    }
}

void Patch::MakeMidiMap() {
    chains_.fill(-1);
    rules_.resize(nodes_.size());
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        const DspInstance& dsp = *nodes_[n].copies[0];
        for (int32_t k = 0; k < dsp.PinCount(); ++k) {
            const PinInfo& info = dsp.DspPinInfo(k);
            PinRule rule;
            rule.datatype = info.datatype;
            if (info.datatype == DT_CHOICE && info.choices && !info.IsOutput()) {
                // The values `set` takes, each by its number.
                const ChoiceList list = ParseChoices(*info.choices);
                rule.listed = true;
                if (list.is_range) {
                    rule.low = std::min(list.low, list.high);
                    rule.high = std::max(list.low, list.high);
                    rule.range = true;
                } else {
                    for (const auto& [label, value] : list.entries) {
                        const UserValue u = CheckUserValue(info, std::to_string(value));
                        if (u.value && *u.value == value) rule.values.push_back(value);
                    }
                    std::sort(rule.values.begin(), rule.values.end());
                }
            }
            rules_[n].push_back(std::move(rule));
        }
    }
    slots_.resize(kMaxMappings);
    for (std::size_t k = 0; k < slots_.size(); ++k) {
        slots_[k].next = k + 1 < slots_.size() ? static_cast<int32_t>(k + 1) : -1;
    }
    free_slot_ = 0;
    if (!plan_.midi_map.empty() && midi_node_ == nullptr) {
        Fail("\"midi_map\": the patch has no MIDI input for controllers to arrive on");
    }
    for (std::size_t k = 0; k < plan_.midi_map.size(); ++k) {
        const PatchPlan::MidiMapping& e = plan_.midi_map[k];
        const std::string entry = "\"midi_map\" entry " + std::to_string(k + 1) + " (cc " +
                                  std::to_string(e.cc) + ", pin " + QuoteText(Describe(e.pin)) +
                                  ")";
        Mapping m;
        try {
            const Node& node = Find(e.pin, "controller's pin");
            m = CheckMapping(e.cc, e.channel, static_cast<int32_t>(&node - nodes_.data()),
                             e.pin.pin, e.minimum, e.maximum);
        } catch (const Error& err) {
            std::string why = err.what();
            if (why.rfind(plan_.source + ": ", 0) == 0) why = why.substr(plan_.source.size() + 2);
            Fail(entry + ": " + why);
        }
        if (!Map(m)) Fail(entry + ": more than " + std::to_string(kMaxMappings) + " mappings");
    }
}

Patch::Mapping Patch::CheckMapping(int32_t cc, int32_t channel, int32_t node,
                                   const std::string& pin, std::optional<double> low,
                                   std::optional<double> high) const {
    if (node < 0 || node >= NodeCount()) throw Error("no module " + std::to_string(node));
    const Node& n = nodes_[static_cast<std::size_t>(node)];
    const DspInstance& dsp = *n.copies[0];
    const std::string where = "module " + QuoteText(n.name);
    int32_t k = -1;
    try {
        // A name several pins share names none of them: "#N" picks one (as save writes it).
        const PinInfo& named =
            dsp.Pins()[static_cast<std::size_t>(PinNamed(dsp.Pins(), where, pin))];
        if (named.dsp_index < 0) {
            throw Error(QuoteText(n.name + "." + named.name) + " belongs to the GUI side only");
        }
        k = named.dsp_index;
    } catch (const Error&) {
        if (!PinsNamed(dsp.Pins(), pin).empty()) throw;
        std::string names;
        for (const PinInfo& p : dsp.Pins()) {
            if (p.dsp_index >= 0 && !p.IsOutput() && p.datatype != DT_MIDI_STREAM &&
                p.datatype != DT_STRING && !p.IsGuiSide()) {
                names += (names.empty() ? "" : ", ") + QuoteText(p.name);
            }
        }
        throw Error(where + " has no input pin " + QuoteText(pin) + " (its inputs: " + names + ")");
    }
    return CheckMapping(cc, channel, node, k, low, high);
}

Patch::Mapping Patch::CheckMapping(int32_t cc, int32_t channel, int32_t node, int32_t k,
                                   std::optional<double> low, std::optional<double> high) const {
    if (cc < 0 || cc > 127) throw Error("controller " + std::to_string(cc) + " is not 0-127");
    if (channel < 0 || channel > 16) {
        throw Error("channel " + std::to_string(channel) + " is not 1-16");
    }
    if (node < 0 || node >= NodeCount()) throw Error("no module " + std::to_string(node));
    const Node& n = nodes_[static_cast<std::size_t>(node)];
    const DspInstance& dsp = *n.copies[0];
    if (k < 0 || k >= dsp.PinCount()) throw Error("no DSP pin " + std::to_string(k));
    const PinInfo& info = dsp.DspPinInfo(k);
    const std::string at = QuoteText(n.name + "." + info.name);
    if (info.IsOutput()) throw Error(at + " is an output and cannot be set");
    if (info.datatype == DT_MIDI_STREAM || info.datatype == DT_STRING) {
        throw Error(at + " takes no value");
    }
    if (info.IsGuiSide()) {
        throw Error(at + " is the GUI side's to set; controllers drive DSP inputs");
    }
    for (const auto& w : plan_.wires) {
        if (w.to.module == n.name && dsp.DspPin(w.to.pin) == k) {
            throw Error(at + " is wired; a wired input follows its wire");
        }
    }
    const std::optional<PinRange> own = OwnRange(info, ModuleIdOf(*dsp.GetPlugin()));
    if (!own && (!low || !high)) {
        throw Error(at + " has no range of its own: give both min and max");
    }
    Mapping m;
    m.cc = cc;
    m.channel = channel;
    m.node = node;
    m.dsp_pin = k;
    m.low = low.value_or(own ? own->low : 0.0);
    m.high = high.value_or(own ? own->high : 0.0);
    for (const auto& [name, v] : {std::pair{"min", m.low}, std::pair{"max", m.high}}) {
        const std::string text = ShortestNumber(Discrete(info.datatype) ? std::round(v) : v);
        if (own && !(v >= own->low && v <= own->high)) {
            throw Error(at + ": " + name + " " + ShortestNumber(v) +
                        " lies outside the pin's range " + ShortestNumber(own->low) + " to " +
                        ShortestNumber(own->high));
        }
        const UserValue checked = CheckUserValue(info, text);
        if (!std::isfinite(v) || !checked.Accepted()) {
            throw Error(at + ": " + name + " " + checked.refusal);
        }
    }
    return m;
}

std::optional<double> Patch::MappedValue(const Mapping& m, uint8_t value) const {
    const double v = m.low + (static_cast<double>(value) / 127.0) * (m.high - m.low);
    const PinRule& rule =
        rules_[static_cast<std::size_t>(m.node)][static_cast<std::size_t>(m.dsp_pin)];
    switch (rule.datatype) {
        case DT_FSAMPLE:
            return v * 0.1;  // volts to signal units, as `set` does
        case DT_CHOICE: {
            const double r = std::round(v);
            if (!rule.listed) return r;
            if (rule.range) {
                if (r < rule.low || r > rule.high) return std::nullopt;
                return r;
            }
            if (!std::binary_search(rule.values.begin(), rule.values.end(),
                                    static_cast<int32_t>(r))) {
                return std::nullopt;
            }
            return r;
        }
        case DT_SWITCH:
        case DT_WHOLE32:
            return std::round(v);
        default:
            return v;
    }
}

bool Patch::Map(const Mapping& m) {
    int32_t* link = &Chain(m.channel, m.cc);
    while (*link >= 0) {
        MapSlot& slot = slots_[static_cast<std::size_t>(*link)];
        if (slot.m.node == m.node && slot.m.dsp_pin == m.dsp_pin) {
            slot.m = m;
            return true;
        }
        link = &slot.next;
    }
    if (free_slot_ < 0) return false;
    const int32_t k = free_slot_;
    MapSlot& slot = slots_[static_cast<std::size_t>(k)];
    free_slot_ = slot.next;
    slot = {m, -1, true};
    *link = k;
    ++mapped_;
    return true;
}

std::size_t Patch::Unmap(int32_t cc, int32_t node, int32_t dsp_pin) {
    if (cc < 0 || cc > 127) return 0;
    std::size_t removed = 0;
    for (int32_t channel = 0; channel <= 16; ++channel) {
        int32_t* link = &Chain(channel, cc);
        while (*link >= 0) {
            const int32_t k = *link;
            MapSlot& slot = slots_[static_cast<std::size_t>(k)];
            if (node >= 0 && (slot.m.node != node || slot.m.dsp_pin != dsp_pin)) {
                link = &slot.next;
                continue;
            }
            *link = slot.next;
            slot.used = false;
            slot.next = free_slot_;
            free_slot_ = k;
            --mapped_;
            ++removed;
        }
    }
    return removed;
}

std::vector<Patch::Mapping> Patch::MidiMap() const {
    std::vector<Mapping> out;
    for (int32_t cc = 0; cc < 128; ++cc) {
        for (int32_t channel = 0; channel <= 16; ++channel) {
            for (int32_t k = chains_[static_cast<std::size_t>(channel) * 128 +
                                     static_cast<std::size_t>(cc)];
                 k >= 0; k = slots_[static_cast<std::size_t>(k)].next) {
                out.push_back(slots_[static_cast<std::size_t>(k)].m);
            }
        }
    }
    return out;
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
        // anything was queued. The clocks move on once, when the copy wakes, by every block
        // it slept: an event given to a sleeping instance is due at the block that wakes it,
        // whether its time lies in that block or before it, so where its clock stood
        // meanwhile changes nothing.
        for (std::size_t k = 0; k < asleep_.size(); ++k) {
            if (asleep_[k] != 0 && !CopyQuiet(k, run_clock_ + block)) {
                asleep_[k] = 0;
                sleepers_changed_ = true;
                const auto slept = static_cast<uint32_t>(run_clock_ - slept_from_[k]);
                for (const Node* n : sleep_nodes_) n->copies[k]->Skip(slept);
            }
        }
        for (Node& node : nodes_) {
            const bool grouped = node.group == sleep_group_;
            for (std::size_t k = 0; k < node.copies.size(); ++k) {
                if (!grouped || asleep_[k] == 0) node.copies[k]->Run(block);
            }
        }
        for (std::size_t k = 0; k < asleep_.size(); ++k) {
            if (asleep_[k] == 0 && CopyQuiet(k, run_clock_ + 2 * uint64_t{block}) &&
                CopySilent(k)) {
                asleep_[k] = 1;
                slept_from_[k] = run_clock_ + block;
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
        slept_from_.assign(asleep_.size(), 0);
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
