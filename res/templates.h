// The program's resources as data: dialog templates, string table and icon list. This is
// the one description that every back end builds its windows from (the Windows back end
// turns it into its resource script), so a layout is changed here and only here.
#pragma once

#include <cstdint>
#include <span>

namespace res {

enum class ControlKind {
    PushButton,
    DefPushButton,
    ListView,
    StaticIcon,
    StaticText,
    StaticRect,
    Edit
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;          // caption of a button or static text; the icon id's name for an icon
    int iconId;                // for StaticIcon: the icon shown; 0 otherwise
    short x, y, cx, cy;        // dialog units
    std::uint32_t style;       // window styles beyond the kind's own (WS_TABSTOP, WS_GROUP, ...)
    std::uint32_t exStyle = 0; // extended styles (WS_EX_STATICEDGE)
};

struct DialogTemplate {
    int id;
    const char* caption;
    short cx, cy; // dialog units
    std::uint32_t style;
    std::uint32_t exStyle;
    const char* fontFace;
    int pointSize;
    std::span<const ControlTemplate> controls; // template order = tab order
};

struct StringResource {
    int id;
    const char* text; // UTF-8
};

struct IconResource {
    int id;
    const char* name; // base name of its picture under res/icons/
};

const DialogTemplate* FindDialog(int id);
const char* FindString(int id); // nullptr when there is no such string
const IconResource* FindIcon(int id);
std::span<const DialogTemplate> AllDialogs();
std::span<const StringResource> AllStrings();
std::span<const IconResource> AllIcons();

} // namespace res
