// Drawing for kvhost plot with cairo: the waveform and spectrum of one output, and the sheet of
// small waveform panels. Only presentation here; the data comes ready from the plot data types.
#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>
#include <string>

#include "kvhost/host.h"
#include "kvhost/plot.h"

namespace kvhost::plot {

namespace {

// Signal plot layout.
constexpr int kSignalWidth = 1200, kSignalHeight = 800;
// Sheet layout: one cell per panel (label lines, the plot, the note line).
constexpr int kMargin = 16, kSheetTop = 64;
constexpr int kCellWidth = 290, kMaxLabelLines = 3, kLineHeight = 13, kPlotHeight = 110;
// Cell height for labels of `lines` lines.
constexpr int CellHeight(int lines) {
    return lines * kLineHeight + 6 + kPlotHeight + kLineHeight + 12;
}

struct SurfaceDestroy {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDestroy {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDestroy>;
using Context = std::unique_ptr<cairo_t, ContextDestroy>;

struct Rect {
    double x, y, w, h;
};

void Colour(cairo_t* cr, unsigned rgb, double alpha = 1.0) {
    cairo_set_source_rgba(cr, ((rgb >> 16) & 0xff) / 255.0, ((rgb >> 8) & 0xff) / 255.0,
                          (rgb & 0xff) / 255.0, alpha);
}

constexpr unsigned kInk = 0x202020, kGrid = 0xd8d8d8, kMinorGrid = 0xeeeeee, kWave = 0x1f4e9c,
                   kMark = 0xc0392b, kMuted = 0x707070, kPanel = 0xf7f7f7;

void Font(cairo_t* cr, double size, bool bold = false) {
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

struct LayoutUnref {
    void operator()(PangoLayout* l) const { g_object_unref(l); }
};
using Layout = std::unique_ptr<PangoLayout, LayoutUnref>;

// `text` laid out in the context's font as Font chose it. Characters the font lacks (names in
// other scripts) are drawn from another installed font that has them.
Layout MakeLayout(cairo_t* cr, const std::string& text) {
    Layout layout(pango_cairo_create_layout(cr));
    cairo_font_face_t* face = cairo_get_font_face(cr);
    cairo_matrix_t matrix;
    cairo_get_font_matrix(cr, &matrix);
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, cairo_toy_font_face_get_family(face));
    pango_font_description_set_weight(
        font, cairo_toy_font_face_get_weight(face) == CAIRO_FONT_WEIGHT_BOLD ? PANGO_WEIGHT_BOLD
                                                                             : PANGO_WEIGHT_NORMAL);
    pango_font_description_set_absolute_size(font, matrix.xx * PANGO_SCALE);
    pango_layout_set_font_description(layout.get(), font);
    pango_font_description_free(font);
    // A file name need not be UTF-8: bytes that are not become replacement characters.
    gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    pango_layout_set_text(layout.get(), valid, -1);
    g_free(valid);
    return layout;
}

double TextWidth(cairo_t* cr, const std::string& text) {
    PangoRectangle logical;
    pango_layout_get_extents(MakeLayout(cr, text).get(), nullptr, &logical);
    return static_cast<double>(logical.width) / PANGO_SCALE;
}

// Text with its anchor at (x, y): align 0 left, 0.5 centred, 1 right; y is the baseline.
void Text(cairo_t* cr, double x, double y, const std::string& text, double align = 0.0) {
    const Layout layout = MakeLayout(cr, text);
    PangoRectangle logical;
    pango_layout_get_extents(layout.get(), nullptr, &logical);
    const double baseline =
        static_cast<double>(pango_layout_get_baseline(layout.get())) / PANGO_SCALE;
    cairo_move_to(cr, x - align * static_cast<double>(logical.width) / PANGO_SCALE, y - baseline);
    pango_cairo_show_layout(cr, layout.get());
}

void Line(cairo_t* cr, double x0, double y0, double x1, double y1) {
    cairo_move_to(cr, x0, y0);
    cairo_line_to(cr, x1, y1);
    cairo_stroke(cr);
}

// printf-style formatting of one number, of any length.
std::string Format(const char* fmt, double v) {
    const int n = std::snprintf(nullptr, 0, fmt, v);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), fmt, v);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// Round steps (1, 2 or 5 times a power of ten) giving about `target` ticks over the span.
double NiceStep(double span, int target) {
    if (!(span > 0.0)) return 1.0;
    const double raw = span / target;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0}) {
        if (m * p >= raw) return m * p;
    }
    return 10.0 * p;
}

// Splits "A=1, B=2, C=3" at its commas into lines no wider than `width`.
std::vector<std::string> Wrap(cairo_t* cr, const std::string& text, double width) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(", ", start);
        const std::size_t end = comma == std::string::npos ? text.size() : comma + 1;
        parts.push_back(text.substr(start, end - start));
        if (comma == std::string::npos) break;
        start = comma + 2;
    }
    std::vector<std::string> lines;
    for (const auto& part : parts) {
        if (!lines.empty() && TextWidth(cr, lines.back() + " " + part) <= width) {
            lines.back() += " " + part;
        } else {
            lines.push_back(part);
        }
    }
    return lines;
}

// Writes beside the target and renames, so a failed write leaves no half picture behind and
// an earlier picture of the same name intact.
void WritePng(cairo_surface_t* surface, const std::string& path) {
    cairo_surface_flush(surface);
    ReplacingFile file(path, "the picture");
    const cairo_status_t status = cairo_surface_write_to_png(surface, file.TempPath().c_str());
    if (status != CAIRO_STATUS_SUCCESS) {
        throw Failure(kExitOutput,
                      path + ": cannot write the picture (" + cairo_status_to_string(status) + ")");
    }
    file.Commit();
}

// The waveform of samples[first, first + count) into r, on a shared scale of +-y_limit.
// Each sample is drawn as a dot too once neighbouring samples lie `dots_from` pixels apart.
void DrawWave(cairo_t* cr, const Rect& r, const std::vector<float>& samples, std::size_t first,
              std::size_t count, double y_limit, double dots_from, double width) {
    if (count == 0 || first >= samples.size()) return;
    count = std::min(count, samples.size() - first);
    const double dx = count > 1 ? r.w / static_cast<double>(count - 1) : 0.0;
    auto y_of = [&](float v) {
        const double c =
            std::clamp(static_cast<double>(std::isfinite(v) ? v : 0.0f), -y_limit, y_limit);
        return r.y + r.h * 0.5 * (1.0 - c / y_limit);
    };
    cairo_save(cr);
    cairo_rectangle(cr, r.x, r.y, r.w, r.h);
    cairo_clip(cr);
    Colour(cr, kWave);
    cairo_set_line_width(cr, width);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (std::size_t i = 0; i < count; ++i) {
        const double x = r.x + dx * static_cast<double>(i);
        if (i == 0) {
            cairo_move_to(cr, x, y_of(samples[first]));
        } else {
            cairo_line_to(cr, x, y_of(samples[first + i]));
        }
    }
    cairo_stroke(cr);
    if (dx >= dots_from) {
        const double radius = std::min(3.0, dx / 3.0);
        for (std::size_t i = 0; i < count; ++i) {
            cairo_arc(cr, r.x + dx * static_cast<double>(i), y_of(samples[first + i]), radius, 0,
                      2 * std::numbers::pi);
            cairo_fill(cr);
        }
    }
    cairo_restore(cr);
}

// A symmetric limit that holds every value of the view, in round steps.
double ViewLimit(const std::vector<float>& s, std::size_t first, std::size_t count) {
    double peak = 0.0;
    for (std::size_t i = first; i < std::min(s.size(), first + count); ++i) {
        if (std::isfinite(s[i])) peak = std::max(peak, static_cast<double>(std::fabs(s[i])));
    }
    if (!(peak > 0.0)) return 0.1;
    const double step = NiceStep(peak, 4);
    return std::ceil(peak / step - 1e-9) * step;
}

void DrawWaveAxes(cairo_t* cr, const Rect& r, const SignalPlot& p, double y_limit) {
    const double t0 = p.from_seconds + static_cast<double>(p.view_first) / p.sample_rate;
    const double span =
        static_cast<double>(p.view_count > 1 ? p.view_count - 1 : 1) / p.sample_rate;
    Font(cr, 11);
    cairo_set_line_width(cr, 1.0);
    // Vertical scale in volts (a value of 0.1 is 1 V).
    const double ystep = NiceStep(2.0 * y_limit, 8);
    for (int i = 0; i <= 20 && -y_limit + i * ystep <= y_limit + ystep * 1e-6; ++i) {
        const double v = -y_limit + i * ystep;
        const double y = r.y + r.h * 0.5 * (1.0 - v / y_limit);
        Colour(cr, std::fabs(v) < ystep * 1e-6 ? kMuted : kGrid);
        Line(cr, r.x, y, r.x + r.w, y);
        Colour(cr, kInk);
        Text(cr, r.x - 6, y + 4, Format("%g V", std::fabs(v) < ystep * 1e-6 ? 0.0 : v * 10.0), 1.0);
    }
    // Time in milliseconds from the start of the analysed stretch.
    const double ms0 = (t0 - p.from_seconds) * 1000.0, ms_span = span * 1000.0;
    const double tstep = NiceStep(ms_span, 10);
    const double tick0 = std::ceil(ms0 / tstep);
    for (int i = 0; i <= 20 && (tick0 + i) * tstep <= ms0 + ms_span + 1e-9; ++i) {
        const double ms = (tick0 + i) * tstep;
        const double x = r.x + r.w * (ms - ms0) / ms_span;
        Colour(cr, kGrid);
        Line(cr, x, r.y, x, r.y + r.h);
        Colour(cr, kInk);
        Text(cr, x, r.y + r.h + 16, Format("%g", ms), 0.5);
    }
    Colour(cr, kMuted);
    Text(cr, r.x + r.w, r.y + r.h + 32,
         Format("ms after %g s", p.from_seconds) +
             Format(" (%g samples shown", static_cast<double>(p.view_count)) +
             Format(", sample rate %g Hz)", p.sample_rate),
         1.0);
    Colour(cr, kInk);
    cairo_rectangle(cr, r.x, r.y, r.w, r.h);
    cairo_stroke(cr);
}

// `notes` above 1: several notes sound in the stretch, and no peak is marked as its
// fundamental.
void DrawSpectrum(cairo_t* cr, const Rect& r, const Spectrum& s, std::size_t notes) {
    if (s.level.size() < 2 || !(s.bin_hz > 0.0)) return;
    const double f_lo = std::max(10.0, s.bin_hz), f_hi = s.sample_rate / 2.0;
    const double l_lo = std::log10(f_lo), l_span = std::log10(f_hi) - l_lo;
    auto x_of = [&](double f) { return r.x + r.w * (std::log10(f) - l_lo) / l_span; };
    const double top = std::ceil((std::max(s.peak_level, -114.0) + 6.0) / 10.0) * 10.0;
    const double bottom = top - 120.0;
    auto y_of = [&](double db) { return r.y + r.h * (top - std::clamp(db, bottom, top)) / 120.0; };

    Font(cr, 11);
    cairo_set_line_width(cr, 1.0);
    for (double db = std::ceil(bottom / 20.0) * 20.0; db <= top + 1e-9; db += 20.0) {
        Colour(cr, kGrid);
        Line(cr, r.x, y_of(db), r.x + r.w, y_of(db));
        Colour(cr, kInk);
        Text(cr, r.x - 6, y_of(db) + 4, Format("%g dB", db), 1.0);
    }
    for (double decade = std::pow(10.0, std::floor(l_lo)); decade < f_hi; decade *= 10.0) {
        for (int m = 1; m < 10; ++m) {
            const double f = decade * m;
            if (f < f_lo || f > f_hi) continue;
            Colour(cr, m == 1 ? kGrid : kMinorGrid);
            Line(cr, x_of(f), r.y, x_of(f), r.y + r.h);
            if (m == 1 || m == 2 || m == 5) {
                Colour(cr, m == 1 ? kInk : kMuted);
                Text(cr, x_of(f), r.y + r.h + 16,
                     f >= 1000.0 ? Format("%gk", f / 1000.0) : Format("%g", f), 0.5);
            }
        }
    }
    Colour(cr, kMuted);
    Text(cr, r.x + r.w, r.y + r.h + 32,
         Format("Hz (FFT of %g samples, ", static_cast<double>(s.size)) +
             Format("%.3g Hz per bin; 0 dB = 10 V sine)", s.bin_hz),
         1.0);

    // The spectrum as a line, bins sharing a pixel column merged into their loudest one.
    cairo_save(cr);
    cairo_rectangle(cr, r.x, r.y, r.w, r.h);
    cairo_clip(cr);
    Colour(cr, kWave);
    cairo_set_line_width(cr, 1.0);
    bool started = false;
    double col = -1.0, col_db = 0.0;
    auto flush = [&]() {
        if (col < 0.0) return;
        if (!started) {
            cairo_move_to(cr, col + 0.5, y_of(col_db));
            started = true;
        } else {
            cairo_line_to(cr, col + 0.5, y_of(col_db));
        }
    };
    for (std::size_t k = 1; k < s.level.size(); ++k) {
        const double f = static_cast<double>(k) * s.bin_hz;
        if (f < f_lo) continue;
        const double c = std::floor(x_of(f));
        if (c == col) {
            col_db = std::max(col_db, s.level[k]);
        } else {
            flush();
            col = c;
            col_db = s.level[k];
        }
    }
    flush();
    cairo_stroke(cr);
    cairo_restore(cr);

    if (notes > 1) {
        Colour(cr, kMark);
        Font(cr, 12, true);
        Text(cr, r.x + 8, r.y + 18,
             Format("%g notes sound in this stretch: no single fundamental",
                    static_cast<double>(notes)) +
                 " (--note N draws one of them)");
    } else if (s.fundamental_hz > 0.0 && s.fundamental_hz >= f_lo) {
        // The fundamental: a marker on its peak and its frequency.
        const double x = x_of(s.fundamental_hz), y = y_of(s.fundamental_level);
        Colour(cr, kMark);
        cairo_set_line_width(cr, 1.0);
        const double dash[] = {4.0, 3.0};
        cairo_set_dash(cr, dash, 2, 0.0);
        Line(cr, x, r.y, x, r.y + r.h);
        cairo_set_dash(cr, nullptr, 0, 0.0);
        cairo_arc(cr, x, y, 4.0, 0, 2 * std::numbers::pi);
        cairo_fill(cr);
        Font(cr, 12, true);
        const std::string label = Format("fundamental %.2f Hz", s.fundamental_hz) +
                                  Format(", %.1f dB", s.fundamental_level);
        const bool left = x + 8 + TextWidth(cr, label) > r.x + r.w;
        Text(cr, left ? x - 8 : x + 8, r.y + 18, label, left ? 1.0 : 0.0);
    }
    Colour(cr, kInk);
    cairo_rectangle(cr, r.x, r.y, r.w, r.h);
    cairo_stroke(cr);
}

Context NewContext(const Surface& surface) {
    Context cr(cairo_create(surface.get()));
    Colour(cr.get(), 0xffffff);
    cairo_paint(cr.get());
    return cr;
}

void LabelFont(cairo_t* cr) {
    Font(cr, 10.5, true);
}

std::vector<std::string> LabelLines(cairo_t* cr, const std::string& label) {
    std::vector<std::string> lines = Wrap(cr, label, kCellWidth - 10);
    if (lines.size() > static_cast<std::size_t>(kMaxLabelLines)) {
        lines.resize(kMaxLabelLines);
        lines.back() += " ...";
    }
    return lines;
}

// The most lines any panel's label takes on this sheet (measured with the label font).
int LabelLineCount(const Sheet& sheet) {
    Surface scratch(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1));
    Context cr(cairo_create(scratch.get()));
    LabelFont(cr.get());
    std::size_t most = 1;
    for (const auto& panel : sheet.panels) {
        most = std::max(most, LabelLines(cr.get(), panel.label).size());
    }
    return static_cast<int>(most);
}

}  // namespace

int MissingGlyphs(const std::string& text) {
    Surface scratch(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1));
    Context cr(cairo_create(scratch.get()));
    Font(cr.get(), 16, true);
    return pango_layout_get_unknown_glyphs_count(MakeLayout(cr.get(), text).get());
}

ImageSize SignalImageSize() {
    return {kSignalWidth, kSignalHeight};
}

ImageSize SheetImageSize(const Sheet& sheet) {
    const int columns = std::max(1, sheet.columns);
    const int rows = static_cast<int>((sheet.panels.size() + columns - 1) / columns);
    return {2 * kMargin + columns * kCellWidth,
            kSheetTop + rows * CellHeight(LabelLineCount(sheet)) + kMargin};
}

ImageSize DrawSignal(const SignalPlot& p, const std::string& png_path) {
    if (!(p.sample_rate > 0.0)) {
        throw Failure(kExitUsage, png_path + ": no sample rate to draw the signal at");
    }
    const ImageSize size = SignalImageSize();
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, size.width, size.height));
    Context owner = NewContext(surface);
    cairo_t* cr = owner.get();

    Colour(cr, kInk);
    Font(cr, 16, true);
    Text(cr, 80, 30, p.title);
    Font(cr, 12);
    Colour(cr, kMuted);
    Text(cr, 80, 50,
         Format("%g s analysed", static_cast<double>(p.samples.size()) / p.sample_rate) +
             Format(" from %g s", p.from_seconds));

    const Rect wave{90, 70, 1080, 290};
    const double y_limit = ViewLimit(p.samples, p.view_first, p.view_count);
    DrawWaveAxes(cr, wave, p, y_limit);
    DrawWave(cr, wave, p.samples, p.view_first, p.view_count, y_limit, 2.0, 1.5);

    const Rect spectrum{90, 440, 1080, 300};
    DrawSpectrum(cr, spectrum, p.spectrum, p.notes);

    WritePng(surface.get(), png_path);
    return size;
}

ImageSize DrawSheet(const Sheet& sheet, const std::string& png_path) {
    const ImageSize size = SheetImageSize(sheet);
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, size.width, size.height));
    Context owner = NewContext(surface);
    cairo_t* cr = owner.get();

    Colour(cr, kInk);
    Font(cr, 18, true);
    Text(cr, kMargin, 28, sheet.plugin);
    Font(cr, 12);
    Colour(cr, kMuted);
    Text(cr, kMargin, 48,
         sheet.heading +
             Format("; two cycles per panel, each spanning ±%g V", sheet.y_limit * 10.0) +
             (sheet.y_limit > 0.5f ? ", grey lines at ±5 V" : ""));

    const int columns = std::max(1, sheet.columns);
    const int label_lines = LabelLineCount(sheet);
    const double cell_height = CellHeight(label_lines);
    for (std::size_t i = 0; i < sheet.panels.size(); ++i) {
        const Panel& panel = sheet.panels[i];
        const double x = kMargin + static_cast<double>(static_cast<int>(i) % columns) * kCellWidth;
        const double y =
            kSheetTop + static_cast<double>(static_cast<int>(i) / columns) * cell_height;
        const double w = kCellWidth - 10;

        LabelFont(cr);
        Colour(cr, kInk);
        const std::vector<std::string> lines = LabelLines(cr, panel.label);
        // Bottom-aligned, so each label sits right above its own plot.
        const std::size_t skipped = static_cast<std::size_t>(label_lines) - lines.size();
        for (std::size_t l = 0; l < lines.size(); ++l) {
            Text(cr, x, y + kLineHeight * static_cast<double>(skipped + l + 1) + 2, lines[l]);
        }

        const Rect plot{x, y + label_lines * kLineHeight + 6, w, kPlotHeight};
        Colour(cr, kPanel);
        cairo_rectangle(cr, plot.x, plot.y, plot.w, plot.h);
        cairo_fill(cr);
        cairo_set_line_width(cr, 1.0);
        Colour(cr, kGrid);
        for (double v : {-0.5, 0.5}) {
            if (v < sheet.y_limit && -v < sheet.y_limit) {
                const double gy = plot.y + plot.h * 0.5 * (1.0 - v / sheet.y_limit);
                Line(cr, plot.x, gy, plot.x + plot.w, gy);
            }
        }
        Colour(cr, kMuted);
        Line(cr, plot.x, plot.y + plot.h / 2, plot.x + plot.w, plot.y + plot.h / 2);
        DrawWave(cr, plot, panel.samples, 0, panel.samples.size(), sheet.y_limit, 5.0, 1.2);
        Colour(cr, kGrid);
        cairo_rectangle(cr, plot.x, plot.y, plot.w, plot.h);
        cairo_stroke(cr);

        Font(cr, 10);
        Colour(cr, kMuted);
        Text(cr, x + w, plot.y + plot.h + kLineHeight, panel.note, 1.0);
    }

    WritePng(surface.get(), png_path);
    return size;
}

}  // namespace kvhost::plot
