// The sheets of kvhost plot: which panels each oscillator gets, rendering each panel through a
// DSP instance, and the panel's samples, label and detected fundamental.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

#include "kvhost/host.h"
#include "kvhost/plot.h"

namespace kvhost::plot {

namespace {

// One panel to render: the settings that vary across the sheet, then derived facts.
struct Recipe {
    std::vector<Setting> varying;
    std::string note;
};

struct SheetPlan {
    double sample_rate = 44100.0;
    std::vector<Setting> common;  // set on every panel, shown once in the heading
    int columns = 1;
    std::vector<Recipe> recipes;
    std::string remark;  // added to the heading
};

// The frequency a pitch value asks for: 1 V per octave, 5 V (0.5) = 440 Hz.
double PitchHz(double pitch) {
    return 440.0 * std::pow(2.0, 10.0 * pitch - 5.0);
}

std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string Hz(double hz) {
    char buf[32];
    std::snprintf(buf, sizeof buf, hz < 1000.0 ? "%.1f Hz" : "%.0f Hz", hz);
    return buf;
}

// A number for a pin, in the pin's own signal units; shown as a patch takes it (a sample pin
// in volts: the signal 0.4 is "4 V").
Setting Value(const DspInstance& dsp, const std::string& pin, double v) {
    if (dsp.DspPinInfo(dsp.DspPin(pin)).datatype == DT_FSAMPLE) {
        return {pin, v, Number(v * 10.0) + " V"};
    }
    return {pin, v, Number(v)};
}

// A choice by its label, the value taken from the pin's own list.
Setting Choice(const DspInstance& dsp, const std::string& pin, const std::string& label) {
    const PinInfo& info = dsp.DspPinInfo(dsp.DspPin(pin));
    const auto value = ParseChoices(info.choices.value_or("")).Find(label);
    if (!value) {
        throw Error(QuoteName(dsp.GetPlugin()->Name()) + ": pin \"" + pin + "\" offers no \"" +
                    label + "\"");
    }
    return {pin, static_cast<double>(*value), label};
}

// Every label of a choice pin, in list order.
std::vector<std::string> ChoiceLabels(const DspInstance& dsp, const std::string& pin) {
    const PinInfo& info = dsp.DspPinInfo(dsp.DspPin(pin));
    std::vector<std::string> labels;
    for (const auto& entry : ParseChoices(info.choices.value_or("")).entries) {
        labels.push_back(entry.first);
    }
    return labels;
}

// Eight waves (rows) at four depths (columns). The depth is the raw Modulation Depth signal,
// limited to 0..1 (0 to 10 V) by the module, so depth 0.25 is the signal 0.25 (2.5 V).
SheetPlan WarpwavePlan(const DspInstance& dsp) {
    SheetPlan plan;
    plan.common = {Value(dsp, "Pitch", 0.4)};
    plan.columns = 4;
    for (const auto& wave : ChoiceLabels(dsp, "Wave")) {
        for (double depth : {0.0, 0.25, 0.5, 1.0}) {
            plan.recipes.push_back(
                {{Choice(dsp, "Wave", wave), Value(dsp, "Modulation Depth", depth)}, ""});
        }
    }
    return plan;
}

// Seven waves (rows) at the pitches that select bands 0, 5 and 9 (columns). Rendered at eight
// times 44.1 kHz so that the smoothest band still shows its shape over ~100 samples a cycle;
// the band depends on the pitch alone, not on the sample rate.
SheetPlan BasicVoicePlan(const DspInstance& dsp) {
    SheetPlan plan;
    plan.sample_rate = 352800.0;
    plan.columns = 3;
    plan.remark = "band chosen by Pitch";
    const std::pair<int, double> bands[] = {{0, 0.3}, {5, 0.625}, {9, 0.85}};
    for (const auto& wave : ChoiceLabels(dsp, "Wave")) {
        for (const auto& [band, pitch] : bands) {
            plan.recipes.push_back({{Choice(dsp, "Wave", wave), Value(dsp, "Pitch", pitch)},
                                    "band " + std::to_string(band)});
        }
    }
    return plan;
}

// Feedback amounts in "1->1"; modulator levels at 1:1 and 2:1 and output levels in "2->1".
SheetPlan TwinOpPlan(const DspInstance& dsp) {
    SheetPlan plan;
    plan.common = {Value(dsp, "OP1 Pitch", 0.4)};
    plan.columns = 6;
    const Setting one = Choice(dsp, "Algorithm", "1->1");
    const Setting two = Choice(dsp, "Algorithm", "2->1");
    for (double fb : {0.0, 0.05, 0.1, 0.2, 0.5, 1.0}) {
        plan.recipes.push_back({{one, Value(dsp, "OP1 FB/Level", fb)}, ""});
    }
    for (double op2_pitch : {0.4, 0.5}) {
        for (double level : {0.0, 0.02, 0.05, 0.1, 0.2, 0.5}) {
            plan.recipes.push_back(
                {{two, Value(dsp, "OP1 FB/Level", 1.0), Value(dsp, "OP2 Pitch", op2_pitch),
                  Value(dsp, "OP2 Level", level)},
                 ""});
        }
    }
    for (double out_level : {0.0, 0.125, 0.25, 0.5, 0.75, 1.5}) {
        plan.recipes.push_back({{two, Value(dsp, "OP1 FB/Level", out_level),
                                 Value(dsp, "OP2 Pitch", 0.4), Value(dsp, "OP2 Level", 0.05)},
                                ""});
    }
    return plan;
}

struct Known {
    const char* name;
    std::function<SheetPlan(const DspInstance&)> plan;
};
const std::vector<Known>& KnownSheets() {
    static const std::vector<Known> known = {{"ZOR Warpwave", WarpwavePlan},
                                             {"ZOR Basic Voice", BasicVoicePlan},
                                             {"ZOR Twin-Op", TwinOpPlan}};
    return known;
}

int32_t FirstSampleOutput(const DspInstance& dsp) {
    for (int32_t k = 0; k < dsp.PinCount(); ++k) {
        const PinInfo& info = dsp.DspPinInfo(k);
        if (info.IsOutput() && info.datatype == DT_FSAMPLE) return k;
    }
    throw Error(QuoteName(dsp.GetPlugin()->Name()) + ": has no sample output to draw");
}

std::size_t PowerOfTwoAtLeast(double n) {
    std::size_t p = 1;
    while (static_cast<double>(p) < n) p <<= 1;
    return p;
}

// The frequency the panel's pitch inputs ask for (the carrier's pitch for two operators).
double NominalHz(const std::vector<Setting>& settings) {
    for (const char* pitch : {"Pitch", "OP1 Pitch"}) {
        for (const auto& s : settings) {
            if (s.pin == pitch) return PitchHz(s.value);
        }
    }
    return PitchHz(0.5);
}

Panel RenderPanel(const std::shared_ptr<Plugin>& plugin, const SheetPlan& plan,
                  const Recipe& recipe) {
    Panel panel;
    panel.settings = plan.common;
    panel.settings.insert(panel.settings.end(), recipe.varying.begin(), recipe.varying.end());
    for (const auto& s : recipe.varying) {
        panel.label += (panel.label.empty() ? "" : ", ") + s.pin + "=" + s.text;
    }
    panel.nominal_hz = NominalHz(panel.settings);

    // Skip the first block (tables and increments settle there), then analyse at least 16
    // cycles and 16384 samples.
    const double period = plan.sample_rate / panel.nominal_hz;
    const std::size_t skip = 2048;
    const std::size_t analysed = PowerOfTwoAtLeast(std::max(16384.0, 16.0 * period));

    DspInstance dsp(plugin, plan.sample_rate);
    dsp.Open();
    for (const auto& s : panel.settings) dsp.SetValue(s.pin, s.value, 0);
    dsp.Run(static_cast<uint32_t>(skip + analysed));
    const std::vector<float>& out = dsp.Output(FirstSampleOutput(dsp));

    const Spectrum spectrum = AnalyseSpectrum(out.data() + skip, analysed, plan.sample_rate);
    panel.fundamental_hz = spectrum.fundamental_hz;
    panel.bin_hz = spectrum.bin_hz;

    // Two cycles. When the output repeats at the frequency the pitch asks for, or near it, or
    // at a harmonic of it, they start where the oscillator's cycle starts: the phase is advanced
    // before the first sample is produced, so cycle c begins at sample c * period - 1. When the
    // module moves its own pitch (feedback, modulation), two cycles of the detected fundamental
    // are shown, from a rising crossing of the mean, if it lies within three octaves of the
    // nominal one.
    const double f0 = panel.fundamental_hz;
    const double harmonic = std::max(1.0, std::round(f0 / panel.nominal_hz));
    const bool own = f0 > 0.0 && std::fabs(f0 - harmonic * panel.nominal_hz) > 2.0 * panel.bin_hz &&
                     f0 > panel.nominal_hz / 8.0 && f0 < panel.nominal_hz * 8.0;
    panel.shown_hz = own ? f0 : panel.nominal_hz;
    const double shown_period = plan.sample_rate / panel.shown_hz;
    std::size_t first = 0;
    if (own) {
        double mean = 0.0;
        for (std::size_t i = skip; i < out.size(); ++i) mean += out[i];
        mean /= static_cast<double>(out.size() - skip);
        first = skip;
        const auto limit = skip + static_cast<std::size_t>(shown_period);
        for (std::size_t i = skip + 1; i <= limit && i < out.size(); ++i) {
            if (out[i - 1] < mean && out[i] >= mean) {
                first = i;
                break;
            }
        }
    } else {
        const double c = std::ceil((static_cast<double>(skip) + 1.0) / period);
        first = static_cast<std::size_t>(std::llround(c * period - 1.0));
    }
    const auto count = static_cast<std::size_t>(std::llround(2.0 * shown_period)) + 1;
    if (first + count <= out.size()) {
        panel.samples.assign(out.begin() + static_cast<std::ptrdiff_t>(first),
                             out.begin() + static_cast<std::ptrdiff_t>(first + count));
    }

    std::string derived = Hz(panel.fundamental_hz);
    if (!(panel.fundamental_hz > 0.0)) derived = "silent";
    panel.note = recipe.note.empty() ? derived : recipe.note + ", " + derived;
    return panel;
}

}  // namespace

std::vector<std::string> SheetPlugins() {
    std::vector<std::string> names;
    for (const auto& k : KnownSheets()) names.emplace_back(k.name);
    return names;
}

Sheet MakeSheet(const std::string& plugin_name) {
    std::shared_ptr<Plugin> plugin;
    try {
        plugin = Plugin::Load(plugin_name);
    } catch (const Error& e) {
        throw Failure(kExitPlugin, e.what());
    }
    const std::string name = plugin->Name();
    const auto known = std::find_if(KnownSheets().begin(), KnownSheets().end(),
                                    [&](const Known& k) { return name == k.name; });
    if (known == KnownSheets().end()) {
        std::string list;
        for (const auto& n : SheetPlugins()) list += (list.empty() ? "\"" : ", \"") + n + "\"";
        throw Failure(kExitUsage, QuoteName(name) + " (" + plugin->Path() +
                                      "): no sheet for this plug-in; sheets exist for " + list);
    }

    SheetPlan plan;
    {
        DspInstance probe(plugin);  // the pin descriptions, for the choice lists
        plan = known->plan(probe);
    }

    Sheet sheet;
    sheet.plugin = name;
    sheet.sample_rate = plan.sample_rate;
    sheet.columns = plan.columns;
    for (const auto& s : plan.common) {
        sheet.heading += s.pin + "=" + s.text;
        if (s.pin.find("Pitch") != std::string::npos)
            sheet.heading += " (" + Hz(PitchHz(s.value)) + ")";
        sheet.heading += ", ";
    }
    if (!plan.remark.empty()) sheet.heading += plan.remark + ", ";
    char rate[48];
    std::snprintf(rate, sizeof rate, "rendered at %g kHz", plan.sample_rate / 1000.0);
    sheet.heading += rate;

    float peak = 0.0f;
    for (const auto& recipe : plan.recipes) {
        sheet.panels.push_back(RenderPanel(plugin, plan, recipe));
        for (float v : sheet.panels.back().samples) {
            if (std::isfinite(v)) peak = std::max(peak, std::fabs(v));
        }
    }
    // One vertical scale for the whole sheet, in steps of 0.1 (1 V), at least +-0.5 (5 V).
    sheet.y_limit = std::max(0.5f, static_cast<float>(std::ceil(peak * 10.0f - 1e-4f) / 10.0));
    return sheet;
}

}  // namespace kvhost::plot
