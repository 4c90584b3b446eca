// The history's command-line switches, which end without a window:
//   nivra --export [--vehicle KEY]... [--from TIME] [--to TIME] -o FILE
//   nivra --import [--vehicle KEY] FILE...
// Both work on history.gpkg in the tracker's start directory (--dir, or
// the default one), beside a running tracker if there is one. Names of
// files on the command line are taken from where the user is.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

// The most points one export writes; a larger selection is refused (narrow
// it with --vehicle, --from, --to).
constexpr size_t kExportMaxPoints = 10000000;

// Each returns the process exit status: 0 done, 1 nothing to do or a file
// failed, 2 a usage error (an output name of no known format too).
// `args` are the words after the switch; `workDir` resolves relative names;
// `historyPath` is the history file.
int exportCommand(const std::vector<std::string>& args, const std::string& workDir,
                  const std::string& historyPath, std::ostream& out, std::ostream& err);
// `historyDays` is the days rule in force: points older than it are added,
// but the running tracker removes them, which the user is told.
int importCommand(const std::vector<std::string>& args, const std::string& workDir,
                  const std::string& historyPath, int historyDays, std::ostream& out,
                  std::ostream& err);

// The window's "Export Track…": the whole history of the vehicle `key`
// into `target` (format from its name). True when written; `message` says
// what was written or why nothing was, for the status line.
bool exportVehicleHistory(const std::string& historyPath, const std::string& key,
                          const std::string& target, std::string& message);
