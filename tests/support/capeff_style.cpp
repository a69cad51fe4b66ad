// A Qt style plug-in that stands for code a local user slips into the installed desktop
// program through its environment (QT_PLUGIN_PATH=their folder, QT_STYLE_OVERRIDE=capeff).
// When Qt asks it for the style it writes the process's user and capability lines from
// /proc/self/status to capeff.txt in the first folder of QT_PLUGIN_PATH, then hands back
// the Fusion style so that the program goes on as usual. The install test reads the file.
#include <QStyleFactory>
#include <QStylePlugin>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {
void RecordPrivileges() {
    const char* pluginPath = std::getenv("QT_PLUGIN_PATH");
    if (!pluginPath)
        return;
    std::string folder(pluginPath);
    folder = folder.substr(0, folder.find(':'));
    std::ifstream status("/proc/self/status");
    std::ofstream record(folder + "/capeff.txt");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Uid:", 0) == 0 || line.rfind("Cap", 0) == 0)
            record << line << '\n';
}
} // namespace

class CapEffStylePlugin : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "capeff_style.json")

public:
    QStyle* create(const QString&) override {
        RecordPrivileges();
        return QStyleFactory::create("Fusion");
    }
};

#include "capeff_style.moc"
