#pragma once
// The script that sets up window, console, timers, dialogs, message handlers, the document
// and XMLHttpRequest in every new page world.

namespace plat::webkit {

const char* pageEnvironmentSource();

}  // namespace plat::webkit
