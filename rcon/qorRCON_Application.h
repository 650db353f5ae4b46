#pragma once
#include <exception>

// The application's standard error box: the exception's message in a modal message box.
void ShowApplicationException(std::exception_ptr aError);

// Lets Qt's event loop run the main thread's queued calls, and sends exceptions that
// escape them to the error box. Remove the hooks before the QApplication goes.
void InstallMainThreadHooks();
void RemoveMainThreadHooks();
