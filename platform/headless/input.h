// What a user's mouse and keyboard do to the engine's windows, shared by the headless
// driver (a test or the command line acting) and a toolkit host (a person acting on the
// Qt windows), so both reach the program through the same messages.
//
// Each call runs on the user-interface thread from the loop's task queue, never from
// inside a message handler, and returns false when the input cannot reach its target
// (missing, or disabled, or its dialog disabled), as a real click would not.
#pragma once

#include "platform/headless/engine.h"

#include <string>
#include <vector>

namespace headless::input {

Window* DialogFor(int dialogId); // 0: the topmost modal dialog
Window* ControlFor(int controlId, int dialogId);
bool Reachable(const Window* ctl);

bool Click(Window* ctl);
void PressEnter(Window* dlg);
void PressEscape(Window* dlg);
void SysCommand(Window* dlg, UINT id);
void SelectRows(Window* list, const std::vector<int>& rows);
bool DoubleClickList(Window* list);
bool ClickColumn(Window* list, int column);
bool TypeText(Window* edit, const std::string& text);
void Focus(Window* ctl);

} // namespace headless::input
