// The headless back end's modal loop on the real clock, with nothing else to wake it: input
// that ends a dialog must end it then, not when the next socket datagram or key press comes.
// The Qt program runs on this loop, where a person's click arrives as such input.
#include "platform/headless/engine.h"
#include "platform/winapi.h"
#include "res/resource.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace {

using headless::Engine;

// The About box's template with a procedure of the test's own: no timers, no sockets.
INT_PTR CALLBACK EndedByInput(HWND dlg, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_INITDIALOG) {
        Engine::Get().PostTask([dlg] { EndDialog(dlg, 7); });
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK NestedEndedByInput(HWND dlg, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_INITDIALOG) {
        // A dialog over this one, ended by input; then this one, the same way.
        Engine::Get().PostTask([dlg] {
            INT_PTR inner =
                DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_ABOUTBOX), dlg, EndedByInput, 0);
            Engine::Get().PostTask([dlg, inner] { EndDialog(dlg, inner + 1); });
        });
        return TRUE;
    }
    return FALSE;
}

TEST(EngineLoop, InputEndingADialogEndsItWithoutAnotherEvent) {
    struct Case {
        const char* name;
        DLGPROC proc;
        INT_PTR result;
    };
    for (const Case& c : {Case{"one dialog", EndedByInput, 7},
                          Case{"a dialog over another", NestedEndedByInput, 8}}) {
        SCOPED_TRACE(c.name);
        Engine::Get().Reset(false);
        auto run = std::async(std::launch::async, [&c] {
            return DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_ABOUTBOX), nullptr, c.proc, 0);
        });
        bool ended = run.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        while (run.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
            Engine::Get().PostTask([] {}); // free a loop left waiting, to report it
        EXPECT_TRUE(ended) << "the loop waited on after its dialog was ended";
        EXPECT_EQ(run.get(), c.result);
    }
}

} // namespace
