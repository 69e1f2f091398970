// A run's checkpoint: the generator's state (checkpoint.h) with, as its attachment, what the
// experiment layer needs to finish the run as if it had never stopped: the rows recorded so far,
// the run's time so far, and the program's settings.
//
// The attachment, version 1 (integers little-endian, doubles as their IEEE 754 bits):
//
//   bytes  field
//   6+4    magic: the ASCII letters ALXRUN; version: 1
//   8+n    the program's note: its length, then its bytes (see Settings)
//   4      the run's number in its batch; -1 in a batch's settings file, which has no run
//   8      the run's own time so far, in seconds (a double)
//   8      the number of rows, then each row: generation 4, best fitness 8, best generation 4,
//          fittest fitness 8, mean fitness 8, convergence 8, stop reason 1 (0 none,
//          1 convergence, 2 minutes, 3 generations, 4 stagnation), the count of the user's
//          values 8, then each value 8
//
// A program's note (Settings, version 1): its name (8+n), whether the base seed is known (1) and
// the seed (4), then the count of its options (8) and for each its name and text (8+n each).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "allelix/checkpoint.h"
#include "allelix/experiment/recorder.h"

namespace allelix::experiment {

// An option as the command line gave it: its name (--seed) and its text ("" for a flag).
struct Argument {
  std::string name;
  std::string text;
  bool operator==(const Argument&) const = default;
};

// What a checkpointed program stores to be resumed with: its name, its options (but --resume and
// --checkpoint) and the base seed of its runs, drawn or given.
struct Settings {
  std::string program;
  std::optional<std::uint32_t> seed;
  std::vector<Argument> arguments;
  bool operator==(const Settings&) const = default;
};

// What a run's checkpoint adds to the generator's state.
struct RunProgress {
  std::string note;  // the program's settings, as bytes
  int run = 0;
  double seconds = 0;
  std::vector<Row> rows;
};

// The file of a batch's settings, and of run r, in a batch's checkpoint directory.
inline std::string BatchSettingsPath(const std::string& directory) {
  return directory + "/batch.checkpoint";
}
inline std::string RunCheckpointPath(const std::string& directory, int run) {
  return directory + "/run-" + std::to_string(run) + ".checkpoint";
}

namespace run_checkpoint_detail {

inline constexpr std::string_view Magic = "ALXRUN";
inline constexpr std::uint64_t Version = 1;
inline constexpr std::uint64_t SettingsVersion = 1;
// The fewest bytes a row takes, and a value.
inline constexpr std::uint64_t MinRowBytes = 4 + 8 + 4 + 8 + 8 + 8 + 1 + 8;
inline constexpr std::uint64_t ValueBytes = 8;
inline constexpr std::uint8_t LastReason = static_cast<std::uint8_t>(StopReason::Stagnation);

inline void PutText(detail::CheckpointWriter& out, std::string_view text) {
  out.Unsigned(text.size(), 8);
  out.Bytes(text);
}

inline std::string GetText(detail::CheckpointReader& in, const char* what) {
  const std::uint64_t length = in.Unsigned(8, what);
  if (length > in.Remaining()) in.Fail(std::string(what) + " is longer than the file");
  return std::string(in.Take(static_cast<std::size_t>(length), what));
}

// A count of items of at least `itemBytes` each that the rest of the bytes can hold.
inline std::size_t GetCount(detail::CheckpointReader& in, std::uint64_t itemBytes,
                            const char* what) {
  const std::uint64_t count = in.Unsigned(8, what);
  if (count > in.Remaining() / itemBytes) in.Fail(std::string(what) + " exceeds the file");
  return static_cast<std::size_t>(count);
}

inline void PutRow(detail::CheckpointWriter& out, const Row& row) {
  out.Field(row.generation);
  out.Field(row.bestFitness);
  out.Field(row.bestGeneration);
  out.Field(row.fittestFitness);
  out.Field(row.meanFitness);
  out.Field(row.convergence);
  out.Byte(static_cast<std::uint8_t>(row.reason));
  out.Unsigned(row.own.size(), 8);
  for (const double value : row.own) out.Field(value);
}

inline Row GetRow(detail::CheckpointReader& in) {
  Row row;
  in.Field(row.generation);
  in.Field(row.bestFitness);
  in.Field(row.bestGeneration);
  in.Field(row.fittestFitness);
  in.Field(row.meanFitness);
  in.Field(row.convergence);
  const std::uint8_t reason = in.Byte("a stop reason");
  if (reason > LastReason) in.Fail("the stop reason " + std::to_string(reason) + " is unknown");
  row.reason = static_cast<StopReason>(reason);
  row.own.resize(GetCount(in, ValueBytes, "a row's count of values"));
  for (double& value : row.own) in.Field(value);
  return row;
}

}  // namespace run_checkpoint_detail

// A program's settings as the bytes of a note.
inline std::string EncodeSettings(const Settings& settings) {
  using namespace run_checkpoint_detail;
  detail::CheckpointWriter out;
  out.Unsigned(SettingsVersion, 4);
  PutText(out, settings.program);
  out.Byte(settings.seed.has_value() ? 1 : 0);
  out.Unsigned(settings.seed.value_or(0), 4);
  out.Unsigned(settings.arguments.size(), 8);
  for (const Argument& argument : settings.arguments) {
    PutText(out, argument.name);
    PutText(out, argument.text);
  }
  return std::move(out.Bytes());
}

// The settings in a note; throws CheckpointError naming `name` when it is not one.
inline Settings DecodeSettings(std::string_view note, const std::string& name) {
  using namespace run_checkpoint_detail;
  detail::CheckpointReader in(note, name);
  if (in.Unsigned(4, "the settings' version") != SettingsVersion) {
    in.Fail("its settings have a version this program does not read");
  }
  Settings settings;
  settings.program = GetText(in, "the program's name");
  const bool seeded = in.Flag("the seed's flag");
  const auto seed = static_cast<std::uint32_t>(in.Unsigned(4, "the seed"));
  if (seeded) settings.seed = seed;
  settings.arguments.resize(GetCount(in, 16, "the count of options"));
  for (Argument& argument : settings.arguments) {
    argument.name = GetText(in, "an option's name");
    argument.text = GetText(in, "an option's text");
  }
  if (in.Remaining() != 0) in.Fail("its settings are followed by stray bytes");
  return settings;
}

// The attachment of a run's checkpoint.
inline std::string EncodeRunProgress(const RunProgress& progress) {
  using namespace run_checkpoint_detail;
  detail::CheckpointWriter out;
  out.Bytes(Magic);
  out.Unsigned(Version, 4);
  PutText(out, progress.note);
  out.Field(progress.run);
  out.Field(progress.seconds);
  out.Unsigned(progress.rows.size(), 8);
  for (const Row& row : progress.rows) PutRow(out, row);
  return std::move(out.Bytes());
}

// The progress in an attachment; throws CheckpointError naming `name` when it holds none.
inline RunProgress DecodeRunProgress(std::string_view attachment, const std::string& name) {
  using namespace run_checkpoint_detail;
  detail::CheckpointReader in(attachment, name);
  if (attachment.substr(0, Magic.size()) != Magic) {
    in.Fail("it is not the checkpoint of an experiment program's run");
  }
  in.Take(Magic.size(), "the run's magic word");
  const std::uint64_t version = in.Unsigned(4, "the run's version");
  if (version != Version) {
    in.Fail("its run has format version " + std::to_string(version) + ", not " +
            std::to_string(Version));
  }
  RunProgress progress;
  progress.note = GetText(in, "the program's settings");
  in.Field(progress.run);
  in.Field(progress.seconds);
  progress.rows.resize(GetCount(in, MinRowBytes, "the count of rows"));
  for (Row& row : progress.rows) row = GetRow(in);
  if (in.Remaining() != 0) in.Fail("its rows are followed by stray bytes");
  return progress;
}

// Reads the checkpoint at path without touching any generator or random source: its progress.
// Throws CheckpointError.
template <class TGenerator>
RunProgress ReadRunProgress(const std::string& path) {
  const std::string bytes = detail::ReadCheckpointFile(path);
  return DecodeRunProgress(detail::ParseCheckpoint<TGenerator>(bytes, path).attachment, path);
}

// Loads run `run`'s checkpoint into the generator and this thread's random source, after
// checking that it belongs to the program and settings of `note`; returns its progress.
// All or nothing, as LoadCheckpoint; throws CheckpointError.
template <class TGenerator>
RunProgress LoadRun(TGenerator& generator, const std::string& path, std::string_view note,
                    int run) {
  const std::string bytes = detail::ReadCheckpointFile(path);
  auto loaded = detail::ParseCheckpoint<TGenerator>(bytes, path);
  RunProgress progress = DecodeRunProgress(loaded.attachment, path);
  const auto refuse = [&](const std::string& problem) {
    throw CheckpointError("cannot load checkpoint '" + path + "': " + problem);
  };
  if (progress.note != note) refuse("it was saved by another program or with other settings");
  if (progress.run != run) {
    refuse("it holds run " + std::to_string(progress.run) + ", not run " + std::to_string(run));
  }
  if (progress.rows.empty() || progress.rows.back().generation != loaded.fields.generation) {
    refuse("its rows do not end at its generation " + std::to_string(loaded.fields.generation));
  }
  detail::Install(generator, loaded);
  return progress;
}

// Whether a path names something (a file, a directory, a dangling link).
inline bool Exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace allelix::experiment
