// kvhost plot: pictures of what a module does. The data behind each picture (samples, spectrum,
// detected fundamental, panel labels) is built apart from the drawing, so it can be checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kvhost/command.h"
#include "kvhost/host.h"
#include "kvhost/midi.h"

namespace kvhost {

// Adds the "plot" subcommand (a patch output, or a sheet of every choice of an oscillator).
// Its failures are kvhost::Failure with the tool's exit code for their kind.
void AddPlotCommand(Tool& tool);

namespace plot {

// Magnitude spectrum of a stretch of samples (Blackman-Harris window, one real FFT).
struct Spectrum {
    double sample_rate = 0.0;
    std::size_t size = 0;       // samples transformed
    double bin_hz = 0.0;        // sample_rate / size
    std::vector<double> level;  // per bin 0..size/2: dB of the sine amplitude, 0 dB = 1.0 (10 V)
    // The lowest clear peak (within 40 dB of the strongest), refined between bins; 0 if silent.
    double fundamental_hz = 0.0;
    std::size_t fundamental_bin = 0;
    double fundamental_level = 0.0;  // dB
    double peak_level = 0.0;         // dB of the strongest bin above DC
};
Spectrum AnalyseSpectrum(const float* samples, std::size_t count, double sample_rate);

// One output of a rendered patch: the stretch analysed and the part shown as a waveform.
struct SignalPlot {
    std::string title;  // e.g. "examples/fm.json: osc.Output"
    double sample_rate = 0.0;
    double from_seconds = 0.0;   // time of samples[0]
    std::vector<float> samples;  // the stretch analysed
    Spectrum spectrum;
    std::size_t view_first = 0, view_count = 0;  // the cycles drawn as a waveform
    // Notes of the patch's MIDI sounding in the stretch; above 1 there is no one fundamental
    // to mark.
    std::size_t notes = 0;
};
// Builds the plot data from rendered samples; the waveform view shows `cycles` cycles of the
// detected fundamental from its first rising crossing (10 ms when no fundamental is found).
SignalPlot MakeSignalPlot(std::string title, std::vector<float> samples, double sample_rate,
                          double from_seconds, double cycles = 4.0);
// Renders PATCH and takes MODULE.PIN (empty: the patch's first audio output) from `from`
// for `seconds` (0: to the end of the patch's length); `from` lies within the patch's length
// (the stretch is cut at its end) and `seconds` is 0 or at least one sample. `note` N > 0 takes the
// stretch of the patch's N-th MIDI note instead (from its note-on to its note-off).
SignalPlot PlotPatch(const std::string& patch_path, const std::string& output, double from,
                     double seconds, double cycles = 4.0, int note = 0,
                     MidiDelivery delivery = MidiDelivery::kHost);

// How many glyphs of `text` the plot's fonts cannot draw (0: every character shows).
int MissingGlyphs(const std::string& text);

// One setting of an input pin as a user makes it.
struct Setting {
    std::string pin;
    double value = 0.0;
    std::string text;  // as shown: the choice label, volts ("4 V") for a sample pin
};

// One small waveform: a few cycles of the output for one combination of settings.
struct Panel {
    std::string label;              // the settings that vary across the sheet, "Pin=value, ...";
                                    // sample pins in volts, as a patch takes them
    std::string note;               // derived facts, e.g. "band 5, 1016.1 Hz"
    std::vector<Setting> settings;  // every pin set for this panel, common ones included
    double nominal_hz = 0.0;        // the frequency the pitch inputs ask for
    double fundamental_hz = 0.0;    // detected in the rendered output
    double bin_hz = 0.0;            // resolution of that detection
    double shown_hz = 0.0;          // samples holds two cycles of this frequency: the nominal
                                    // one, or the detected one where the module moves its pitch
    std::vector<float> samples;     // the cycles drawn
};

struct Sheet {
    std::string plugin;   // deliverable name
    std::string heading;  // the settings common to every panel, and the sample rate
    double sample_rate = 0.0;
    int columns = 1;
    float y_limit = 0.5f;       // panels share one vertical scale: +-y_limit
    std::vector<Panel> panels;  // row by row
};
// The plug-ins that have a sheet.
std::vector<std::string> SheetPlugins();
// Builds the sheet for a deliverable name (or a path to one); throws kvhost::Error when the
// plug-in has no sheet.
Sheet MakeSheet(const std::string& plugin);

struct ImageSize {
    int width = 0, height = 0;
};
// Draws with cairo and writes a PNG; returns the image size. Throws kvhost::Error when the
// file cannot be written.
ImageSize DrawSignal(const SignalPlot& plot, const std::string& png_path);
ImageSize DrawSheet(const Sheet& sheet, const std::string& png_path);
// The size the drawing functions produce.
ImageSize SignalImageSize();
ImageSize SheetImageSize(const Sheet& sheet);

}  // namespace plot
}  // namespace kvhost
