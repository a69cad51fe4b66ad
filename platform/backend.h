// What the shared framework code asks of the back end beyond the Windows API itself.
#pragma once

// The application's title when the application object was given none: the executable's
// base name, as the classic frameworks take it.
const char* TvDefaultAppTitle();
