#pragma once

#include "Database.h"

#include <map>
#include <string>

// The server's settings with the values of a new server; stored ones override them.
namespace ServerSettings {

const std::map<std::string, std::string> &defaults();
std::string value(Database &db, const std::string &key);
bool isKnown(const std::string &key);

} // namespace ServerSettings
