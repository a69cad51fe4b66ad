// rcgen: writes the Windows resource script from the resource data of templates.cpp, so
// the Windows program and the other back ends cannot drift apart. A host tool: the Windows
// build compiles it with the build machine's compiler and runs it before windres.
//
//   rcgen OUT.rc ICON_DIR MANIFEST
//
// ICON_DIR holds one NAME.ico per icon (res/mkico.py makes them from res/icons/NAME.svg).
// The script is UTF-8 under code_page 65001: windres stores every text as UTF-16, so string
// 101 keeps its Chinese characters whatever code page the build or the user's system has.
#include "platform/winapi.h"
#include "res/templates.h"
#include "res/version.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

// What the version resource says; the dialog captions carry the same number.
constexpr int kVersion[4] = {TAVISOL_VERSION_MAJOR, TAVISOL_VERSION_MINOR, TAVISOL_VERSION_PATCH,
                             TAVISOL_VERSION_TWEAK};
constexpr const char* kVersionText = TAVISOL_VERSION_TEXT;

std::string Quote(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        if (*p == '"')
            out += "\"\"";
        else if (*p == '\\')
            out += "\\\\";
        else
            out += *p;
    }
    return out + "\"";
}

std::string Hex(std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(value));
    return buf;
}

struct ControlClass {
    const char* name;
    std::uint32_t style; // the kind's own style bits
};

ControlClass ClassOf(res::ControlKind kind) {
    switch (kind) {
    case res::ControlKind::PushButton:
        return {"Button", BS_PUSHBUTTON};
    case res::ControlKind::DefPushButton:
        return {"Button", BS_DEFPUSHBUTTON};
    case res::ControlKind::ListView:
        return {"SysListView32", 0};
    case res::ControlKind::StaticIcon:
        return {"Static", SS_ICON};
    case res::ControlKind::StaticText:
        return {"Static", SS_LEFT};
    case res::ControlKind::StaticRect:
        return {"Static", 0}; // SS_BLACKRECT or SS_BLACKFRAME come with the template
    case res::ControlKind::Edit:
        return {"Edit", 0};
    }
    return {"Static", 0};
}

void WriteDialog(std::ostream& rc, const res::DialogTemplate& dlg) {
    rc << dlg.id << " DIALOGEX 0, 0, " << dlg.cx << ", " << dlg.cy << "\n";
    rc << "STYLE " << Hex(dlg.style) << "\n";
    if (dlg.exStyle)
        rc << "EXSTYLE " << Hex(dlg.exStyle) << "\n";
    rc << "CAPTION " << Quote(dlg.caption) << "\n";
    // Weight 0, not italic, DEFAULT_CHARSET: the face alone picks the font.
    rc << "FONT " << dlg.pointSize << ", " << Quote(dlg.fontFace) << ", 0, 0, 0x1\n";
    rc << "BEGIN\n";
    for (const res::ControlTemplate& c : dlg.controls) {
        ControlClass cls = ClassOf(c.kind);
        std::uint32_t style = WS_CHILD | WS_VISIBLE | cls.style | c.style;
        rc << "    CONTROL ";
        // An icon control names its icon by ordinal; the dialog manager loads it.
        if (c.kind == res::ControlKind::StaticIcon)
            rc << c.iconId;
        else
            rc << Quote(c.text);
        rc << ", " << c.id << ", " << Quote(cls.name) << ", " << Hex(style) << ", " << c.x << ", "
           << c.y << ", " << c.cx << ", " << c.cy;
        if (c.exStyle)
            rc << ", " << Hex(c.exStyle);
        rc << "\n";
    }
    rc << "END\n\n";
}

void WriteVersion(std::ostream& rc) {
    std::ostringstream numbers;
    numbers << kVersion[0] << ", " << kVersion[1] << ", " << kVersion[2] << ", " << kVersion[3];
    rc << "1 VERSIONINFO\n"
       << "FILEVERSION " << numbers.str() << "\n"
       << "PRODUCTVERSION " << numbers.str() << "\n"
       << "FILEFLAGSMASK 0x3F\n"
       << "FILEFLAGS 0x0\n"
       << "FILEOS 0x40004\n" // VOS_NT_WINDOWS32
       << "FILETYPE 0x1\n"   // VFT_APP
       << "FILESUBTYPE 0x0\n"
       << "BEGIN\n"
       << "    BLOCK \"StringFileInfo\"\n"
       << "    BEGIN\n"
       << "        BLOCK \"040904B0\"\n" // US English, UTF-16
       << "        BEGIN\n"
       << "            VALUE \"CompanyName\", " << Quote(TAVISOL_PUBLISHER) << "\n"
       << "            VALUE \"FileDescription\", \"Tavisol UI\"\n"
       << "            VALUE \"FileVersion\", " << Quote(kVersionText) << "\n"
       << "            VALUE \"InternalName\", \"tavisol\"\n"
       << "            VALUE \"OriginalFilename\", \"tavisol.exe\"\n"
       << "            VALUE \"ProductName\", \"Tavisol\"\n"
       << "            VALUE \"ProductVersion\", " << Quote(kVersionText) << "\n"
       << "        END\n"
       << "    END\n"
       << "    BLOCK \"VarFileInfo\"\n"
       << "    BEGIN\n"
       << "        VALUE \"Translation\", 0x409, 1200\n"
       << "    END\n"
       << "END\n\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: rcgen OUT.rc ICON_DIR MANIFEST\n";
        return 2;
    }
    const std::string iconDir = argv[2];
    std::ostringstream rc;
    rc << "// Written by res/rcgen from res/templates.cpp: change that file, not this one.\n"
       << "#pragma code_page(65001)\n\n"
       << "LANGUAGE 0x09, 0x01\n\n"; // LANG_ENGLISH, SUBLANG_ENGLISH_US

    for (const res::DialogTemplate& dlg : res::AllDialogs())
        WriteDialog(rc, dlg);

    rc << "STRINGTABLE\nBEGIN\n";
    for (const res::StringResource& s : res::AllStrings())
        rc << "    " << s.id << ", " << Quote(s.text) << "\n";
    rc << "END\n\n";

    for (const res::IconResource& icon : res::AllIcons())
        rc << icon.id << " ICON " << Quote((iconDir + "/" + icon.name + ".ico").c_str()) << "\n";
    rc << "\n";

    WriteVersion(rc);

    rc << "1 24 " << Quote(argv[3]) << " // RT_MANIFEST\n";

    std::ofstream out(argv[1], std::ios::binary);
    out << rc.str();
    out.close();
    if (!out) {
        std::cerr << "rcgen: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
