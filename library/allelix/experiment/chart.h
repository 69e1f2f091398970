// The chart of one run or of a batch, as a self-contained SVG document: fitness (on a linear
// scale, or as the distance from a known optimum on a log scale), the population's convergence,
// and optionally a column of the user's own, over the generations.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "allelix/experiment/numbers.h"
#include "allelix/experiment/recorder.h"
#include "allelix/experiment/statistics.h"
#include "allelix/platform.h"

namespace allelix::experiment {

// What a run's stop tests saw, generation by generation (entry g is generation g).
struct Series {
  std::vector<double> best = {};  // fitness of the best individual so far
  std::vector<double> mean = {};  // the population's mean fitness
  std::vector<double> convergence = {};
  std::vector<double> own = {};  // the user column on the chart; empty when there is none
};

// The curves of a run's rows; ownColumn is the index in Row::own of the user column to chart,
// or -1 for none.
inline Series SeriesOf(const std::vector<Row>& rows, int ownColumn = -1) {
  Series series;
  for (const Row& row : rows) {
    series.best.push_back(row.bestFitness);
    series.mean.push_back(row.meanFitness);
    series.convergence.push_back(row.convergence);
    const auto own = static_cast<std::size_t>(ownColumn);
    if (ownColumn >= 0) {
      series.own.push_back(own < row.own.size() ? row.own[own]
                                                : std::numeric_limits<double>::quiet_NaN());
    }
  }
  return series;
}

// The words and choices around the curves.
struct ChartOptions {
  std::string title = {};
  std::string subtitle = {};
  // Given, the upper panel shows optimum - fitness on a log scale, with a line of exact hits;
  // otherwise the fitness itself on a linear scale.
  std::optional<double> optimum = {};
  std::string optimumLabel = "optimum reached";     // beside the line of exact hits
  std::optional<double> convergenceThreshold = {};  // drawn when the convergence criterion applies
  std::string columnName = {};  // the label of the user column's panel, when the series have one
};

namespace chart_detail {

constexpr double Width = 920;
constexpr double Left = 84;
constexpr double Right = 680;  // the legend sits beyond this
constexpr double LegendX = 696;
constexpr double FitnessTop = 78;
constexpr double ErrorBottom = 338;    // lowest decade
constexpr double FitnessBottom = 362;  // where an error of exactly 0, or the lowest fitness, lies
constexpr double ConvergenceTop = 410;
constexpr double ConvergenceBottom = 570;
constexpr double ColumnTop = 618;
constexpr double ColumnBottom = 778;
constexpr double BelowLastPanel = 70;  // room for the generation axis under the last panel

constexpr const char* BestColour = "#1f5fbf";
constexpr const char* MeanColour = "#e07b00";
constexpr const char* ConvergenceColour = "#2a9d4b";
constexpr const char* ThresholdColour = "#c0392b";
constexpr const char* ColumnColour = "#7d3c98";
constexpr double AllRunsOpacity = 0.15;
constexpr double MiddleOpacity = 0.3;

inline std::string Escape(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '<') {
      escaped += "&lt;";
    } else if (c == '>') {
      escaped += "&gt;";
    } else if (c == '&') {
      escaped += "&amp;";
    } else if (c == '"') {
      escaped += "&quot;";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

inline std::string Num(double value) { return Fixed(value, 1); }

// The stroke-dasharray attribute with its leading space, or nothing for a solid line.
inline std::string Dash(const char* dash) {
  return *dash != 0 ? " stroke-dasharray=\"" + std::string(dash) + "\"" : "";
}

// y of position (0 at the bottom, 1 at the top) in a panel: bottom - (bottom - top) * position.
// The product is rounded on its own, so every build draws the same coordinates.
inline double Between(double bottom, double top, double position) {
  return bottom - RoundedProduct(bottom - top, position);
}

// A step of 1, 2 or 5 times a power of ten that cuts [0, span] into at most about parts parts.
inline double NiceStep(double span, double parts) {
  const double raw = span / parts;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (factor * power >= raw) return factor * power;
  }
  return 10.0 * power;
}

// The generation axis: steps of at least one generation.
inline double TickStep(double span) { return std::max(1.0, NiceStep(span, 8.0)); }

// A linear value axis over a panel, with round ticks that enclose the values drawn: the ticks
// are the multiples k * step for k from lowTick to highTick.
struct LinearAxis {
  double top = 0;
  double bottom = 0;
  double step = 0.2;
  double lowTick = 0;
  double highTick = 5;
  int decimals = 1;

  double Low() const { return lowTick * step; }
  double High() const { return highTick * step; }
  double Y(double value) const {
    if (std::isnan(value)) return value;
    return Between(bottom, top, std::clamp((value - Low()) / (High() - Low()), 0.0, 1.0));
  }
};

// An axis for values from smallest to largest (0 to 1 when there are none).
inline LinearAxis ChooseLinearAxis(double top, double bottom, double smallest, double largest) {
  LinearAxis axis{top, bottom};
  if (!(smallest <= largest)) return axis;
  if (smallest == largest) {
    const double pad = smallest == 0 ? 1.0 : std::abs(smallest) / 10.0;
    smallest -= pad;
    largest += pad;
  }
  const double step = NiceStep(largest - smallest, 5.0);
  const double lowTick = std::floor(smallest / step);
  const double highTick = std::ceil(largest / step);
  // Values spread over more than a double's range leave the axis at 0 to 1, clamped.
  if (!(std::isfinite(step) && step > 0 && highTick - lowTick <= 20)) return axis;
  axis.step = step;
  axis.lowTick = lowTick;
  axis.highTick = highTick;
  axis.decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
  return axis;
}

// Maps generations to x, errors to y on the log axis (0 on its own line below), convergence to y.
struct Axes {
  double lastGeneration = 1;
  int lowDecade = -5;
  int highDecade = 0;

  double X(double generation) const { return Left + (Right - Left) * generation / lastGeneration; }
  double ErrorY(double error) const {
    if (std::isnan(error)) return error;
    if (!(error > 0)) return FitnessBottom;
    const double position = (std::log10(error) - lowDecade) / (highDecade - lowDecade);
    return Between(ErrorBottom, FitnessTop, std::clamp(position, 0.0, 1.0));
  }
  static double ConvergenceY(double convergence) {
    const double position = (convergence - 0.5) / 0.5;
    return Between(ConvergenceBottom, ConvergenceTop, std::clamp(position, 0.0, 1.0));
  }
};

// One value per generation, from the runs' series at that generation.
using Curve = std::vector<double>;
using ToY = std::function<double(double)>;

// The spread over the runs at every generation, of each run's values passed through value;
// a finished run keeps its last value, and a NaN counts as no value (all NaN when none has one).
inline std::vector<Spread> SpreadByGeneration(const std::vector<Series>& runs,
                                              std::vector<double> Series::*series,
                                              std::size_t generations,
                                              const std::function<double(double)>& value) {
  std::vector<Spread> spreads;
  std::vector<double> values;
  for (std::size_t g = 0; g < generations; ++g) {
    values.clear();
    for (const Series& run : runs) {
      const std::vector<double>& own = run.*series;
      if (own.empty()) continue;
      const double v = value(own[std::min(g, own.size() - 1)]);
      if (!std::isnan(v)) values.push_back(v);
    }
    constexpr double none = std::numeric_limits<double>::quiet_NaN();
    spreads.push_back(values.empty() ? Spread{none, none, none, none, none} : SpreadOf(values));
  }
  return spreads;
}

// One statistic of every generation's spread.
inline Curve Pick(const std::vector<Spread>& spreads, double Spread::*statistic) {
  Curve curve;
  for (const Spread& spread : spreads) curve.push_back(spread.*statistic);
  return curve;
}

// "x,y " for each generation whose value maps to a finite y; others are left out.
inline std::string Point(double x, double y) {
  return std::isfinite(y) ? Num(x) + "," + Num(y) + " " : "";
}

inline std::string Points(const Curve& curve, const ToY& y, const Axes& axes) {
  std::string points;
  for (std::size_t g = 0; g < curve.size(); ++g) {
    points += Point(axes.X(static_cast<double>(g)), y(curve[g]));
  }
  return points;
}

inline std::string Line(const Curve& curve, const ToY& y, const Axes& axes, const char* colour,
                        double width, const char* dash = "") {
  return "<polyline fill=\"none\" stroke=\"" + std::string(colour) + "\" stroke-width=\"" +
         Num(width) + "\" stroke-linejoin=\"round\"" + Dash(dash) + " points=\"" +
         Points(curve, y, axes) + "\"/>\n";
}

inline std::string Band(const Curve& low, const Curve& high, const ToY& y, const Axes& axes,
                        const char* colour, double opacity) {
  std::string points = Points(high, y, axes);
  for (std::size_t g = low.size(); g-- > 0;) {
    points += Point(axes.X(static_cast<double>(g)), y(low[g]));
  }
  return "<polygon fill=\"" + std::string(colour) + "\" fill-opacity=\"" + Fixed(opacity, 2) +
         "\" stroke=\"none\" points=\"" + points + "\"/>\n";
}

inline std::string Text(double x, double y, const std::string& content,
                        const std::string& attributes) {
  return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" " + attributes + ">" + content +
         "</text>\n";
}

inline std::string HorizontalRule(double y, const char* colour, const char* dash = "") {
  return "<line x1=\"" + Num(Left) + "\" y1=\"" + Num(y) + "\" x2=\"" + Num(Right) + "\" y2=\"" +
         Num(y) + "\" stroke=\"" + colour + "\"" + Dash(dash) + "/>\n";
}

// A grid line with its label at the left of the panel.
inline std::string GridLine(double y, const std::string& label) {
  return HorizontalRule(y, "#e3e3e3") +
         Text(Left - 8, y + 4, label, "font-size=\"12\" text-anchor=\"end\"");
}

inline std::string LinearGrid(const LinearAxis& axis) {
  std::string svg;
  for (double k = axis.lowTick; k <= axis.highTick; ++k) {
    const double value = k == 0 ? 0.0 : k * axis.step;  // never "-0"
    svg += GridLine(axis.Y(value), Fixed(value, axis.decimals));
  }
  return svg;
}

// The label of a power of ten: 1 and 0.1 written out, the rest as 10 with an exponent.
inline std::string DecadeLabel(int decade) {
  if (decade == 0) return "1";
  if (decade == -1) return "0.1";
  if (decade == 1) return "10";
  return "10<tspan dy=\"-6\" font-size=\"10\">" + std::string(decade < 0 ? "\u2212" : "") +
         std::to_string(std::abs(decade)) + "</tspan>";
}

// A legend line: a stroke sample, or a band sample when bandOpacity is above 0.
inline std::string LegendEntry(double y, const char* colour, const std::string& label,
                               double bandOpacity, const char* dash = "") {
  std::string entry;
  if (bandOpacity > 0) {
    entry += "<rect x=\"696\" y=\"" + Num(y - 7) + "\" width=\"26\" height=\"12\" fill=\"" +
             colour + "\" fill-opacity=\"" + Fixed(bandOpacity, 2) + "\"/>\n";
  } else {
    entry += "<line x1=\"696\" y1=\"" + Num(y) + "\" x2=\"722\" y2=\"" + Num(y) + "\" stroke=\"" +
             colour + "\" stroke-width=\"2.5\"" + Dash(dash) + "/>\n";
  }
  return entry + Text(730, y + 4, label, "font-size=\"12\"");
}

inline std::string VerticalLabel(double middle, const std::string& label) {
  return "<text transform=\"translate(24," + Num(middle) +
         ") rotate(-90)\" font-size=\"13\" text-anchor=\"middle\">" + label + "</text>\n";
}

// The smallest and largest finite values of some series of every run, passed through value,
// kept when keep says so.
inline std::pair<double, double> Extent(const std::vector<Series>& runs,
                                        std::initializer_list<std::vector<double> Series::*> series,
                                        const std::function<double(double)>& value,
                                        const std::function<bool(double)>& keep) {
  double smallest = INFINITY;
  double largest = -INFINITY;
  for (const Series& run : runs) {
    for (const auto member : series) {
      for (const double raw : run.*member) {
        const double v = value(raw);
        if (std::isfinite(v) && keep(v)) {
          smallest = std::min(smallest, v);
          largest = std::max(largest, v);
        }
      }
    }
  }
  return {smallest, largest};
}

// Everything the chart's parts share: the axes, the panels and the words.
class Drawing {
 public:
  Drawing(const std::vector<Series>& runs, const ChartOptions& options)
      : runs_(runs), options_(options) {
    std::size_t longest = 0;
    for (const Series& run : runs) {
      longest = std::max(longest, run.best.size());
      hasColumn_ = hasColumn_ || !run.own.empty();
    }
    axes_.lastGeneration = std::max<double>(1, static_cast<double>(longest) - 1);
    if (options.optimum) {
      const double optimum = *options.optimum;
      fitness_ = [optimum](double f) { return optimum - f; };
      const auto [smallest, largest] =
          Extent(runs, {&Series::best, &Series::mean}, fitness_, [](double e) { return e > 0; });
      if (largest > 0) {
        axes_.lowDecade = static_cast<int>(std::floor(std::log10(smallest)));
        axes_.highDecade = static_cast<int>(std::ceil(std::log10(largest)));
        if (axes_.highDecade <= axes_.lowDecade) axes_.highDecade = axes_.lowDecade + 1;
      }
      fitnessY_ = [this](double error) { return axes_.ErrorY(error); };
    } else {
      fitness_ = [](double f) { return f; };
      const auto [smallest, largest] =
          Extent(runs, {&Series::best, &Series::mean}, fitness_, [](double) { return true; });
      fitnessAxis_ = ChooseLinearAxis(FitnessTop, FitnessBottom, smallest, largest);
      fitnessY_ = [this](double f) { return fitnessAxis_.Y(f); };
    }
    const auto same = [](double v) { return v; };
    const auto [smallest, largest] =
        Extent(runs, {&Series::own}, same, [](double) { return true; });
    columnAxis_ = ChooseLinearAxis(ColumnTop, ColumnBottom, smallest, largest);
  }

  std::string Draw() const {
    const double height = LastBottom() + BelowLastPanel;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(Width) +
                      "\" height=\"" + Num(height) + "\" viewBox=\"0 0 " + Num(Width) + " " +
                      Num(height) + "\" font-family=\"Helvetica, Arial, sans-serif\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += Frame();
    svg += Curves();
    svg += Legend();
    svg += "</svg>\n";
    return svg;
  }

 private:
  bool Batch() const { return runs_.size() > 1; }
  double LastBottom() const { return hasColumn_ ? ColumnBottom : ConvergenceBottom; }

  std::string Frame() const {
    std::string svg;
    svg += Text(Left, 30, Escape(options_.title), "font-size=\"17\" font-weight=\"bold\"");
    svg += Text(Left, 52, Escape(options_.subtitle), "font-size=\"12\" fill=\"#555\"");
    if (options_.optimum) {
      // A grid line and label per decade, and the line of exact hits.
      for (int decade = axes_.lowDecade; decade <= axes_.highDecade; ++decade) {
        svg += GridLine(axes_.ErrorY(std::pow(10.0, decade)), DecadeLabel(decade));
      }
      svg += HorizontalRule(FitnessBottom, "#bbbbbb", "3,3");
      svg += Text(Left - 8, FitnessBottom + 4, "0", "font-size=\"12\" text-anchor=\"end\"");
      svg += Text(Right - 4, FitnessBottom - 5, Escape(options_.optimumLabel),
                  "font-size=\"11\" fill=\"#777\" text-anchor=\"end\"");
    } else {
      svg += LinearGrid(fitnessAxis_);
    }
    // Convergence: linear from 0.5, where no gene position has a majority, to 1.
    for (int tenth = 5; tenth <= 10; ++tenth) {
      svg += GridLine(Axes::ConvergenceY(tenth / 10.0),
                      tenth == 10 ? "1" : "0." + std::to_string(tenth));
    }
    if (hasColumn_) svg += LinearGrid(columnAxis_);
    // Generation ticks under every panel, their labels under the last.
    std::vector<double> bottoms = {FitnessBottom + 10, ConvergenceBottom};
    if (hasColumn_) bottoms.push_back(ColumnBottom);
    const double step = TickStep(axes_.lastGeneration);
    for (double g = 0; g <= axes_.lastGeneration + 1e-9; g += step) {
      const double x = axes_.X(g);
      for (const double bottom : bottoms) {
        svg += "<line x1=\"" + Num(x) + "\" y1=\"" + Num(bottom) + "\" x2=\"" + Num(x) +
               "\" y2=\"" + Num(bottom + 5) + "\" stroke=\"#333\"/>\n";
      }
      svg += Text(x, LastBottom() + 19, Shortest(g), "font-size=\"12\" text-anchor=\"middle\"");
    }
    std::vector<std::pair<double, double>> panels = {{FitnessTop - 8, FitnessBottom + 10},
                                                     {ConvergenceTop - 8, ConvergenceBottom}};
    if (hasColumn_) panels.emplace_back(ColumnTop - 8, ColumnBottom);
    for (const auto& [top, bottom] : panels) {
      svg += "<rect x=\"" + Num(Left) + "\" y=\"" + Num(top) + "\" width=\"" + Num(Right - Left) +
             "\" height=\"" + Num(bottom - top) + "\" fill=\"none\" stroke=\"#333\"/>\n";
    }
    svg += Text((Left + Right) / 2, LastBottom() + 42, "generation",
                "font-size=\"13\" text-anchor=\"middle\"");
    const std::string fitnessLabel =
        options_.optimum
            ? "distance from optimum, " + Shortest(*options_.optimum) + " \u2212 fitness (log)"
            : "fitness";
    svg += VerticalLabel((FitnessTop + FitnessBottom) / 2, fitnessLabel);
    svg += VerticalLabel((ConvergenceTop + ConvergenceBottom) / 2, "convergence");
    if (hasColumn_) {
      svg += VerticalLabel((ColumnTop + ColumnBottom) / 2, Escape(options_.columnName));
    }
    return svg;
  }

  std::vector<Spread> Spreads(std::vector<double> Series::*series,
                              const std::function<double(double)>& value) const {
    const auto generations = static_cast<std::size_t>(axes_.lastGeneration) + 1;
    return SpreadByGeneration(runs_, series, generations, value);
  }

  std::string Curves() const {
    const auto same = [](double v) { return v; };
    const ToY convergenceY = [](double c) { return Axes::ConvergenceY(c); };
    const auto best = Spreads(&Series::best, fitness_);
    const auto mean = Spreads(&Series::mean, fitness_);
    const auto convergence = Spreads(&Series::convergence, same);
    std::string svg;
    if (Batch()) {
      svg += Band(Pick(best, &Spread::min), Pick(best, &Spread::max), fitnessY_, axes_, BestColour,
                  AllRunsOpacity);
      svg += Band(Pick(best, &Spread::lowerQuartile), Pick(best, &Spread::upperQuartile), fitnessY_,
                  axes_, BestColour, MiddleOpacity);
      svg += Band(Pick(convergence, &Spread::min), Pick(convergence, &Spread::max), convergenceY,
                  axes_, ConvergenceColour, AllRunsOpacity);
    }
    svg += Line(Pick(mean, &Spread::median), fitnessY_, axes_, MeanColour, 1.8);
    svg += Line(Pick(best, &Spread::median), fitnessY_, axes_, BestColour, 2.4);
    svg += Line(Pick(convergence, &Spread::median), convergenceY, axes_, ConvergenceColour, 2.2);
    if (options_.convergenceThreshold) {
      svg += HorizontalRule(Axes::ConvergenceY(*options_.convergenceThreshold), ThresholdColour,
                            "6,4");
    }
    if (hasColumn_) {
      const auto column = Spreads(&Series::own, same);
      const ToY columnY = [this](double v) { return columnAxis_.Y(v); };
      if (Batch()) {
        svg += Band(Pick(column, &Spread::min), Pick(column, &Spread::max), columnY, axes_,
                    ColumnColour, AllRunsOpacity);
      }
      svg += Line(Pick(column, &Spread::median), columnY, axes_, ColumnColour, 2.2);
    }
    return svg;
  }

  std::string Legend() const {
    std::string svg;
    double legendY = FitnessTop + 4;
    const auto legend = [&](const char* colour, const std::string& label, double band,
                            const char* dash = "") {
      svg += LegendEntry(legendY, colour, label, band, dash);
      legendY += 22;
    };
    const std::string of = Batch() ? ", median" : "";
    legend(BestColour, "best so far" + of, 0);
    if (Batch()) {
      legend(BestColour, "best, middle half of runs", MiddleOpacity);
      legend(BestColour, "best, all runs", AllRunsOpacity);
    }
    legend(MeanColour, "population mean" + of, 0);
    legendY = ConvergenceTop + 4;
    legend(ConvergenceColour, "convergence" + of, 0);
    if (Batch()) legend(ConvergenceColour, "convergence, all runs", AllRunsOpacity);
    if (options_.convergenceThreshold) legend(ThresholdColour, "stop threshold", 0, "6,4");
    if (hasColumn_) {
      legendY = ColumnTop + 4;
      legend(ColumnColour, Escape(options_.columnName) + of, 0);
      if (Batch()) legend(ColumnColour, Escape(options_.columnName) + ", all runs", AllRunsOpacity);
    }
    if (Batch()) {
      svg += Text(LegendX, LastBottom() + 19, "A finished run keeps its last",
                  "font-size=\"11\" fill=\"#777\"");
      svg += Text(LegendX, LastBottom() + 33, "value in the statistics.",
                  "font-size=\"11\" fill=\"#777\"");
    }
    return svg;
  }

  const std::vector<Series>& runs_;
  const ChartOptions& options_;
  Axes axes_;
  bool hasColumn_ = false;
  std::function<double(double)> fitness_;  // what the upper panel shows of a fitness
  ToY fitnessY_;
  LinearAxis fitnessAxis_;
  LinearAxis columnAxis_;
};

}  // namespace chart_detail

// A self-contained SVG document. One run is drawn as its curves; a batch as the median of the
// runs with bands for their spread, a finished run counting with its last value.
inline std::string DrawChart(const std::vector<Series>& runs, const ChartOptions& options) {
  return chart_detail::Drawing(runs, options).Draw();
}

}  // namespace allelix::experiment
