// Bar charts of a report's panels (one panel per counter, one below the other), drawn with
// cairo by one drawing code for PNG and SVG. Text is drawn as outlines, so an SVG needs no font
// where it is shown.
#ifndef FLOWSENTRY_REPORT_CHART_H_
#define FLOWSENTRY_REPORT_CHART_H_

#include <string>
#include <vector>

#include "report/report_format.h"

namespace flowsentry::report {

enum class ChartFormat { kPng, kSvg };

inline constexpr int kChartWidth = 800;
inline constexpr int kChartPanelHeight = 260;

// The image's bytes (a PNG file or an SVG document) in `image`: kChartWidth wide and
// kChartPanelHeight high per panel (one panel at least, saying "no counters" when `panels` is
// empty). False with cairo's reason in `error` when drawing fails.
bool DrawChart(const std::vector<ChartPanel>& panels, Units units, ChartFormat format,
               std::string& image, std::string& error);

// Frees the font and surface caches that drawing leaves behind in cairo and fontconfig, so that
// a leak checker sees a clean exit. Call once, when no drawing will follow.
void ReleaseChartCaches();

}  // namespace flowsentry::report

#endif  // FLOWSENTRY_REPORT_CHART_H_
