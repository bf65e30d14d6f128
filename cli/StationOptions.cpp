// SPDX-License-Identifier: Apache-2.0
#include "StationOptions.h"

#include <CLI/CLI.hpp>

namespace uvq::cli {

void AddStationCommand(CLI::App& app) {
  CLI::App* station = app.add_subcommand(
      "station",
      "the production jig: program every unit that appears in an address range and has not "
      "received the image yet: station IMAGE --range A-B");
  station->prefix_command();
  station->allow_extras();
  station->fallthrough(false);
  station->set_help_flag();
}

void CollectStationCommand(CLI::App& app, RolloutWords& words) {
  CLI::App* station = app.get_subcommand("station");
  words.command = station->parsed();
  if (words.command) words.args = station->remaining();
}

}  // namespace uvq::cli
