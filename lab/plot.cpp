#include "plot.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "format.h"
#include "summary.h"

namespace allelix::lab {

namespace {

constexpr double Width = 920;
constexpr double Height = 640;
constexpr double Left = 84;
constexpr double Right = 680;  // the legend sits beyond this
constexpr double ErrorTop = 78;
constexpr double ErrorBottom = 338;  // lowest decade
constexpr double ZeroLine = 362;     // where an error of exactly 0 is drawn
constexpr double ConvergenceTop = 410;
constexpr double ConvergenceBottom = 570;

constexpr const char* BestColour = "#1f5fbf";
constexpr const char* MeanColour = "#e07b00";
constexpr const char* ConvergenceColour = "#2a9d4b";
constexpr const char* ThresholdColour = "#c0392b";
constexpr double AllRunsOpacity = 0.15;
constexpr double MiddleOpacity = 0.3;

std::string Escape(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '<') {
      escaped += "&lt;";
    } else if (c == '>') {
      escaped += "&gt;";
    } else if (c == '&') {
      escaped += "&amp;";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string Num(double value) { return Fixed(value, 1); }

// A step of 1, 2 or 5 times a power of ten that cuts [0, span] into at most about eight parts.
double TickStep(double span) {
  const double raw = span / 8.0;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (factor * power >= raw) return std::max(1.0, factor * power);
  }
  return std::max(1.0, 10.0 * power);
}

// Maps generations to x and errors to y on the log axis, with 0 on its own line below.
struct Axes {
  double lastGeneration = 1;
  int lowDecade = -5;
  int highDecade = 0;

  double X(double generation) const { return Left + (Right - Left) * generation / lastGeneration; }
  double ErrorY(double error) const {
    if (!(error > 0)) return ZeroLine;
    const double position = (std::log10(error) - lowDecade) / (highDecade - lowDecade);
    return ErrorBottom - (ErrorBottom - ErrorTop) * std::clamp(position, 0.0, 1.0);
  }
  static double ConvergenceY(double convergence) {
    const double position = (convergence - 0.5) / 0.5;
    return ConvergenceBottom -
           (ConvergenceBottom - ConvergenceTop) * std::clamp(position, 0.0, 1.0);
  }
};

// One value per generation, from the runs' series at that generation.
using Curve = std::vector<double>;

// The spread over the runs at every generation; a finished run keeps its last value.
std::vector<Spread> SpreadByGeneration(const std::vector<RunSeries>& runs,
                                       std::vector<double> RunSeries::*series,
                                       std::size_t generations) {
  std::vector<Spread> spreads;
  std::vector<double> values;
  for (std::size_t g = 0; g < generations; ++g) {
    values.clear();
    for (const RunSeries& run : runs) {
      const std::vector<double>& own = run.*series;
      if (!own.empty()) values.push_back(own[std::min(g, own.size() - 1)]);
    }
    spreads.push_back(values.empty() ? Spread{} : SpreadOf(values));
  }
  return spreads;
}

// One statistic of every generation's spread.
Curve Pick(const std::vector<Spread>& spreads, double Spread::*statistic) {
  Curve curve;
  for (const Spread& spread : spreads) curve.push_back(spread.*statistic);
  return curve;
}

std::string Points(const Curve& curve, const std::function<double(double)>& y, const Axes& axes) {
  std::string points;
  for (std::size_t g = 0; g < curve.size(); ++g) {
    points += Num(axes.X(static_cast<double>(g))) + "," + Num(y(curve[g])) + " ";
  }
  return points;
}

std::string Line(const Curve& curve, const std::function<double(double)>& y, const Axes& axes,
                 const char* colour, double width, const char* dash = "") {
  return "<polyline fill=\"none\" stroke=\"" + std::string(colour) + "\" stroke-width=\"" +
         Num(width) + "\" stroke-linejoin=\"round\"" +
         (*dash != 0 ? " stroke-dasharray=\"" + std::string(dash) + "\"" : "") + " points=\"" +
         Points(curve, y, axes) + "\"/>\n";
}

std::string Band(const Curve& low, const Curve& high, const std::function<double(double)>& y,
                 const Axes& axes, const char* colour, double opacity) {
  Curve reversed(low.rbegin(), low.rend());
  std::string points = Points(high, y, axes);
  for (std::size_t i = 0; i < reversed.size(); ++i) {
    points +=
        Num(axes.X(static_cast<double>(reversed.size() - 1 - i))) + "," + Num(y(reversed[i])) + " ";
  }
  return "<polygon fill=\"" + std::string(colour) + "\" fill-opacity=\"" + Fixed(opacity, 2) +
         "\" stroke=\"none\" points=\"" + points + "\"/>\n";
}

std::string Text(double x, double y, const std::string& content, const std::string& attributes) {
  return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" " + attributes + ">" + content +
         "</text>\n";
}

std::string HorizontalRule(double y, const char* colour, const char* dash = "") {
  return "<line x1=\"" + Num(Left) + "\" y1=\"" + Num(y) + "\" x2=\"" + Num(Right) + "\" y2=\"" +
         Num(y) + "\" stroke=\"" + colour + "\"" +
         (*dash != 0 ? " stroke-dasharray=\"" + std::string(dash) + "\"" : "") + "/>\n";
}

// The label of a power of ten: 1 and 0.1 written out, the rest as 10 with an exponent.
std::string DecadeLabel(int decade) {
  if (decade == 0) return "1";
  if (decade == -1) return "0.1";
  if (decade == 1) return "10";
  return "10<tspan dy=\"-6\" font-size=\"10\">" + std::string(decade < 0 ? "\u2212" : "") +
         std::to_string(std::abs(decade)) + "</tspan>";
}

// A legend line: a stroke sample, or a band sample when bandOpacity is above 0.
std::string LegendEntry(double y, const char* colour, const std::string& label, double bandOpacity,
                        const char* dash = "") {
  std::string entry;
  if (bandOpacity > 0) {
    entry += "<rect x=\"696\" y=\"" + Num(y - 7) + "\" width=\"26\" height=\"12\" fill=\"" +
             colour + "\" fill-opacity=\"" + Fixed(bandOpacity, 2) + "\"/>\n";
  } else {
    entry += "<line x1=\"696\" y1=\"" + Num(y) + "\" x2=\"722\" y2=\"" + Num(y) + "\" stroke=\"" +
             colour + "\" stroke-width=\"2.5\"" +
             (*dash != 0 ? " stroke-dasharray=\"" + std::string(dash) + "\"" : "") + "/>\n";
  }
  return entry + Text(730, y + 4, label, "font-size=\"12\"");
}

Axes ChooseAxes(const std::vector<RunSeries>& runs) {
  Axes axes;
  std::size_t longest = 0;
  double smallest = INFINITY;
  double largest = 0;
  for (const RunSeries& run : runs) {
    longest = std::max(longest, run.bestError.size());
    for (const auto* series : {&run.bestError, &run.meanError}) {
      for (const double error : *series) {
        if (error > 0 && std::isfinite(error)) {
          smallest = std::min(smallest, error);
          largest = std::max(largest, error);
        }
      }
    }
  }
  axes.lastGeneration = std::max<double>(1, static_cast<double>(longest) - 1);
  if (largest > 0) {
    axes.lowDecade = static_cast<int>(std::floor(std::log10(smallest)));
    axes.highDecade = static_cast<int>(std::ceil(std::log10(largest)));
    if (axes.highDecade <= axes.lowDecade) axes.highDecade = axes.lowDecade + 1;
  }
  return axes;
}

std::string Frame(const Axes& axes, const ChartText& text) {
  std::string svg;
  svg += Text(Left, 30, Escape(text.title), "font-size=\"17\" font-weight=\"bold\"");
  svg += Text(Left, 52, Escape(text.subtitle), "font-size=\"12\" fill=\"#555\"");
  // Error panel: a grid line and label per decade, and the line of exact hits.
  for (int decade = axes.lowDecade; decade <= axes.highDecade; ++decade) {
    const double y = axes.ErrorY(std::pow(10.0, decade));
    svg += HorizontalRule(y, "#e3e3e3");
    svg += Text(Left - 8, y + 4, DecadeLabel(decade), "font-size=\"12\" text-anchor=\"end\"");
  }
  svg += HorizontalRule(ZeroLine, "#bbbbbb", "3,3");
  svg += Text(Left - 8, ZeroLine + 4, "0", "font-size=\"12\" text-anchor=\"end\"");
  svg += Text(Right - 4, ZeroLine - 5, "exact: found 1234",
              "font-size=\"11\" fill=\"#777\" text-anchor=\"end\"");
  // Convergence panel: linear from 0.5, where no gene position has a majority, to 1.
  for (int tenth = 5; tenth <= 10; ++tenth) {
    const double y = Axes::ConvergenceY(tenth / 10.0);
    svg += HorizontalRule(y, "#e3e3e3");
    svg += Text(Left - 8, y + 4, tenth == 10 ? "1" : "0." + std::to_string(tenth),
                "font-size=\"12\" text-anchor=\"end\"");
  }
  // Generation ticks under both panels.
  const double step = TickStep(axes.lastGeneration);
  for (double g = 0; g <= axes.lastGeneration + 1e-9; g += step) {
    const double x = axes.X(g);
    for (const double bottom : {ZeroLine + 10, ConvergenceBottom}) {
      svg += "<line x1=\"" + Num(x) + "\" y1=\"" + Num(bottom) + "\" x2=\"" + Num(x) + "\" y2=\"" +
             Num(bottom + 5) + "\" stroke=\"#333\"/>\n";
    }
    svg += Text(x, ConvergenceBottom + 19, Shortest(g), "font-size=\"12\" text-anchor=\"middle\"");
  }
  for (const auto& [top, bottom] :
       {std::pair{ErrorTop - 8, ZeroLine + 10}, std::pair{ConvergenceTop - 8, ConvergenceBottom}}) {
    svg += "<rect x=\"" + Num(Left) + "\" y=\"" + Num(top) + "\" width=\"" + Num(Right - Left) +
           "\" height=\"" + Num(bottom - top) + "\" fill=\"none\" stroke=\"#333\"/>\n";
  }
  svg += Text((Left + Right) / 2, ConvergenceBottom + 42, "generation",
              "font-size=\"13\" text-anchor=\"middle\"");
  const auto verticalLabel = [](double middle, const std::string& label) {
    return "<text transform=\"translate(24," + Num(middle) +
           ") rotate(-90)\" font-size=\"13\" text-anchor=\"middle\">" + label + "</text>\n";
  };
  svg += verticalLabel((ErrorTop + ZeroLine) / 2, "distance from optimum, 1 \u2212 fitness (log)");
  svg += verticalLabel((ConvergenceTop + ConvergenceBottom) / 2, "convergence");
  return svg;
}

}  // namespace

std::string DrawChart(const std::vector<RunSeries>& runs, const ChartText& text) {
  const Axes axes = ChooseAxes(runs);
  const auto errorY = [&axes](double error) { return axes.ErrorY(error); };
  const auto convergenceY = [](double convergence) { return Axes::ConvergenceY(convergence); };
  const bool batch = runs.size() > 1;
  const auto generations = static_cast<std::size_t>(axes.lastGeneration) + 1;
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(Width) +
                    "\" height=\"" + Num(Height) + "\" viewBox=\"0 0 " + Num(Width) + " " +
                    Num(Height) + "\" font-family=\"Helvetica, Arial, sans-serif\">\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  svg += Frame(axes, text);

  const auto best = SpreadByGeneration(runs, &RunSeries::bestError, generations);
  const auto mean = SpreadByGeneration(runs, &RunSeries::meanError, generations);
  const auto convergence = SpreadByGeneration(runs, &RunSeries::convergence, generations);
  if (batch) {
    svg += Band(Pick(best, &Spread::min), Pick(best, &Spread::max), errorY, axes, BestColour,
                AllRunsOpacity);
    svg += Band(Pick(best, &Spread::lowerQuartile), Pick(best, &Spread::upperQuartile), errorY,
                axes, BestColour, MiddleOpacity);
    svg += Band(Pick(convergence, &Spread::min), Pick(convergence, &Spread::max), convergenceY,
                axes, ConvergenceColour, AllRunsOpacity);
  }
  svg += Line(Pick(mean, &Spread::median), errorY, axes, MeanColour, 1.8);
  svg += Line(Pick(best, &Spread::median), errorY, axes, BestColour, 2.4);
  svg += Line(Pick(convergence, &Spread::median), convergenceY, axes, ConvergenceColour, 2.2);
  if (text.convergenceThreshold) {
    svg += HorizontalRule(Axes::ConvergenceY(*text.convergenceThreshold), ThresholdColour, "6,4");
  }

  double legendY = ErrorTop + 4;
  const auto legend = [&](const char* colour, const std::string& label, double band,
                          const char* dash = "") {
    svg += LegendEntry(legendY, colour, label, band, dash);
    legendY += 22;
  };
  const std::string of = batch ? ", median" : "";
  legend(BestColour, "best so far" + of, 0);
  if (batch) {
    legend(BestColour, "best, middle half of runs", MiddleOpacity);
    legend(BestColour, "best, all runs", AllRunsOpacity);
  }
  legend(MeanColour, "population mean" + of, 0);
  legendY = ConvergenceTop + 4;
  legend(ConvergenceColour, "convergence" + of, 0);
  if (batch) legend(ConvergenceColour, "convergence, all runs", AllRunsOpacity);
  if (text.convergenceThreshold) legend(ThresholdColour, "stop threshold", 0, "6,4");
  if (batch) {
    svg += Text(696, ConvergenceBottom + 19, "A finished run keeps its last",
                "font-size=\"11\" fill=\"#777\"");
    svg += Text(696, ConvergenceBottom + 33, "value in the statistics.",
                "font-size=\"11\" fill=\"#777\"");
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace allelix::lab
