#include "report/chart.h"

#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace flowsentry::report {
namespace {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

cairo_status_t AppendTo(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

// Colours as 0xRRGGBB.
constexpr uint32_t kBarColour = 0x3373B8;
constexpr uint32_t kSpanColour = 0xEE9933;
constexpr uint32_t kSoFarColour = 0x9DBFE3;

void SetColour(cairo_t* cr, uint32_t rgb) {
  cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                       (rgb & 0xFF) / 255.0);
}

constexpr double kLeft = 86;  // room for the axis's labels
constexpr double kRight = 16;
constexpr double kTop = 34;     // room for the title
constexpr double kBottom = 46;  // room for the dates and the note

// An axis from 0 to a round value above `max`, in steps of 1, 2 or 5 times a power of ten of a
// unit (B, KiB, MiB, ... or B, kB, MB, ...), so that every label is a short number.
struct Axis {
  double unit = 1;
  const char* unit_name = "B";
  double step = 1;  // in units
  int steps = 1;
};

Axis MakeAxis(int64_t max, Units units) {
  static constexpr const char* kBinary[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  static constexpr const char* kSi[] = {"B", "kB", "MB", "GB", "TB", "PB"};
  const bool si = units == Units::kSi;
  const double base = si ? 1000 : 1024;
  Axis axis;
  double value = static_cast<double>(std::max<int64_t>(max, 1));
  int index = 0;
  while (value >= base && index < 5) {
    value /= base;
    axis.unit *= base;
    ++index;
  }
  axis.unit_name = si ? kSi[index] : kBinary[index];
  const double raw = value / 5;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    axis.step = m * power;
    if (axis.step >= raw) break;
  }
  axis.step = std::max(axis.step, index == 0 ? 1.0 : 0.0);
  axis.steps = std::max(1, static_cast<int>(std::ceil(value / axis.step - 1e-9)));
  return axis;
}

std::string AxisLabel(double value, const Axis& axis) {
  char text[64];
  const bool whole = std::fabs(value - std::round(value)) < 1e-9;
  std::snprintf(text, sizeof text, whole ? "%.0f %s" : "%.1f %s", value, axis.unit_name);
  return text;
}

void Text(cairo_t* cr, const std::string& text, double x, double y, double align_x) {
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  cairo_move_to(cr, x - extents.x_advance * align_x, y);
  cairo_show_text(cr, text.c_str());
}

double TextWidth(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  return extents.x_advance;
}

void DrawPanel(cairo_t* cr, const ChartPanel& panel, Units units, double top) {
  const double plot_left = kLeft;
  const double plot_right = kChartWidth - kRight;
  const double plot_top = top + kTop;
  const double plot_bottom = top + kChartPanelHeight - kBottom;
  const double plot_height = plot_bottom - plot_top;

  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 14);
  cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
  Text(cr, panel.title, 12, top + 22, 0);

  int64_t max = 0;
  bool any_span = false;
  bool any_so_far = false;
  for (const ChartBar& bar : panel.bars) {
    max = std::max(max, bar.bytes);
    any_span = any_span || bar.spans_days;
    any_so_far = any_so_far || bar.so_far;
  }
  const Axis axis = MakeAxis(max, units);
  const double top_value = axis.step * axis.steps * axis.unit;

  // Grid and the axis's labels.
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 11);
  cairo_set_line_width(cr, 1);
  for (int i = 0; i <= axis.steps; ++i) {
    const double y = std::round(plot_bottom - plot_height * i / axis.steps) + 0.5;
    cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
    cairo_move_to(cr, plot_left, y);
    cairo_line_to(cr, plot_right, y);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.25, 0.25, 0.25);
    Text(cr, AxisLabel(axis.step * i, axis), plot_left - 6, y + 4, 1);
  }

  if (panel.bars.empty()) {
    cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
    Text(cr, "no traffic recorded", (plot_left + plot_right) / 2, plot_top + plot_height / 2, 0.5);
  }

  // Bars, and under the slots as many dates as fit without touching.
  const double slot =
      (plot_right - plot_left) / static_cast<double>(std::max<size_t>(panel.slots.size(), 1));
  double widest = 0;
  for (const std::string& label : panel.slots) widest = std::max(widest, TextWidth(cr, label));
  const size_t every = std::max<size_t>(1, static_cast<size_t>(std::ceil((widest + 10) / slot)));
  const double gap = std::min(slot * 0.2, 6.0);
  for (const ChartBar& bar : panel.bars) {
    const double x = plot_left + slot * static_cast<double>(bar.slot);
    const double height = plot_height * static_cast<double>(bar.bytes) / top_value;
    SetColour(cr, bar.so_far ? kSoFarColour : bar.spans_days ? kSpanColour : kBarColour);
    cairo_rectangle(cr, x + gap / 2, plot_bottom - height,
                    slot * static_cast<double>(bar.width) - gap, height);
    cairo_fill(cr);
  }
  cairo_set_source_rgb(cr, 0.25, 0.25, 0.25);
  for (size_t i = 0; i < panel.slots.size(); i += every) {
    const double x = plot_left + slot * (static_cast<double>(i) + 0.5);
    cairo_move_to(cr, std::round(x) + 0.5, plot_bottom);
    cairo_line_to(cr, std::round(x) + 0.5, plot_bottom + 4);
    cairo_stroke(cr);
    Text(cr, panel.slots[i], x, plot_bottom + 16, 0.5);
  }

  // The base line over the bars' feet.
  cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
  cairo_move_to(cr, plot_left, plot_bottom + 0.5);
  cairo_line_to(cr, plot_right, plot_bottom + 0.5);
  cairo_stroke(cr);

  // The legend, for the colours other than the plain bar's.
  double legend_x = plot_left;
  auto legend = [&](uint32_t colour, const std::string& text) {
    SetColour(cr, colour);
    cairo_rectangle(cr, legend_x, plot_bottom + 26, 10, 10);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.25, 0.25, 0.25);
    Text(cr, text, legend_x + 15, plot_bottom + 35, 0);
    legend_x += 15 + TextWidth(cr, text) + 24;
  };
  if (any_so_far) legend(kSoFarColour, "so far (still counting)");
  if (any_span) legend(kSpanColour, "several days: the service did not start on the days after it");
}

}  // namespace

bool DrawChart(const std::vector<ChartPanel>& panels, Units units, ChartFormat format,
               std::string& image, std::string& error) {
  image.clear();
  std::vector<ChartPanel> shown = panels;
  if (shown.empty()) shown.push_back({"no counters", {}, {}});
  const double height = kChartPanelHeight * static_cast<double>(shown.size());
  Surface surface(
      format == ChartFormat::kSvg
          ? cairo_svg_surface_create_for_stream(AppendTo, &image, kChartWidth, height)
          : cairo_image_surface_create(CAIRO_FORMAT_RGB24, kChartWidth, static_cast<int>(height)));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
    error = cairo_status_to_string(cairo_surface_status(surface.get()));
    return false;
  }
  {
    Context cr(cairo_create(surface.get()));
    cairo_set_source_rgb(cr.get(), 1, 1, 1);
    cairo_paint(cr.get());
    for (size_t i = 0; i < shown.size(); ++i) {
      DrawPanel(cr.get(), shown[i], units, kChartPanelHeight * static_cast<double>(i));
    }
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) {
      error = cairo_status_to_string(cairo_status(cr.get()));
      return false;
    }
  }
  cairo_status_t status = CAIRO_STATUS_SUCCESS;
  if (format == ChartFormat::kPng) {
    status = cairo_surface_write_to_png_stream(surface.get(), AppendTo, &image);
  } else {
    cairo_surface_finish(surface.get());
    status = cairo_surface_status(surface.get());
  }
  if (status != CAIRO_STATUS_SUCCESS) {
    error = cairo_status_to_string(status);
    return false;
  }
  return true;
}

void ReleaseChartCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}

}  // namespace flowsentry::report
