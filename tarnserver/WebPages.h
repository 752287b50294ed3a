#pragma once

#include "ContentStore.h"
#include "Database.h"
#include "Password.h"

namespace httplib {
class Server;
}

// Plain server-rendered pages: "/" lists the signed-in account's contents,
// "/content/ID" shows one with its player; both behind HTTP Basic sign-in.
namespace WebPages {

void add(httplib::Server &http, Database &db, PasswordChecker &passwords, ContentStore &contents);

} // namespace WebPages
