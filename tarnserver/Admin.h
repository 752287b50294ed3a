#pragma once

#include "Database.h"

#include <filesystem>
#include <string>
#include <vector>

// The administration subcommands, run against a data folder while the server
// runs or not.
namespace Admin {

// Runs one subcommand ("account add NAME PASSWORD", "folder list", ...); returns the exit code.
int run(const std::filesystem::path &data, const std::vector<std::string> &args);

// Gives a new data folder the demo account, a folder tree and the settings of a new server.
void createDemo(Database &db, const std::filesystem::path &data);

} // namespace Admin
