#pragma once

#include <QString>

// Where ClipFerry's files live. Read-only files (language file, templates,
// default project) sit beside the program; files the program writes go to the
// per-user data folder, which CLIPFERRY_HOME overrides.
namespace AppPaths {

QString programDir();
// A read-only file shipped with the program: beside the binary, or in
// share/clipferry of an installed tree.
QString resourcePath(const QString &name);
// The per-user data folder, created on first use.
QString dataDir();
QString dataPath(const QString &name);
// The INI file that backs the settings store.
QString settingsFile();
// The user's temporary folder.
QString tempDir();

} // namespace AppPaths
