#pragma once

#include "server/CFolderTree.h"
#include "server/ServerSettings.h"

// The program-wide state of server access: one per program, owned by the
// main window and handed to the add dialogs, the runner and the CLI.
struct ServerAccess
{
    ServerSettings settings;
    // Every request of the program goes over https when the server field said so.
    bool useHttps = false;
    // The password goes as its double MD5 until a server refuses that form.
    bool hashPassword = true;
    // The last add dialog closed while logged in: the next one starts from
    // the cached folder list instead of a new request.
    bool loggedIn = false;
    CFolderTree folderTree;
};
