#include "platform/qtsettingsstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>
#include <cstdlib>

#include "platform/portmap.h"

namespace {
const char kOrganization[] = "Quellmark, Inc.";
const char kApplication[] = "Brindle";

std::string DefaultIniPath() {
    if (const char* env = std::getenv("BRINDLE_SETTINGS"); env && *env) {
        return env;
    }
#ifdef Q_OS_WIN
    return {};
#else
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return (dir + "/" + kOrganization + "/" + kApplication + ".ini").toStdString();
#endif
}
// True for a missing file or one made only of INI lines in UTF-8 text: sections, key=value
// pairs, comments and blank lines. Anything else is some other file, or a damaged one.
bool LooksLikeIni(const QString& path) {
    QFile file(path);
    if (!file.exists()) {
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray bytes = file.read(1 << 20);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    if (utf8.hasError() || !file.atEnd()) {
        return false;
    }
    for (QString line : text.split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#')) {
            continue;
        }
        for (QChar c : line) {
            if (c.unicode() < 0x20 && c != '\t') {
                return false;
            }
        }
        const bool section = line.startsWith('[') && line.endsWith(']') && line.size() > 2;
        if (!section && line.indexOf('=') <= 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

TQtSettingsStore::TQtSettingsStore() : iniPath(DefaultIniPath()) {}

TQtSettingsStore::TQtSettingsStore(std::string path) : iniPath(std::move(path)) {}

TQtSettingsStore::~TQtSettingsStore() {
    Close();
}

std::string TQtSettingsStore::Location() const {
    if (iniPath.empty()) {
        return std::string("HKEY_LOCAL_MACHINE\\Software\\") + kOrganization + "\\" + kApplication;
    }
    return iniPath;
}

bool TQtSettingsStore::Open() {
    Close();
    if (iniPath.empty()) {
        settings = std::make_unique<QSettings>(QString::fromStdString(Location()),
                                               QSettings::NativeFormat);
    } else {
        const QFileInfo info(QString::fromStdString(iniPath));
        // Creating the key means being able to create the file's folder.
        if (!QDir().mkpath(info.absolutePath())) {
            return false;
        }
        if (info.exists() && (!info.isFile() || !info.isReadable())) {
            return false;
        }
        settings =
            std::make_unique<QSettings>(QString::fromStdString(iniPath), QSettings::IniFormat);
    }
    if (settings->status() == QSettings::AccessError) {
        settings.reset();
        return false;
    }
    // A file that does not parse is read for what it holds but never written over: whatever
    // the user had in it is not ours to destroy.
    damaged = settings->status() == QSettings::FormatError ||
              (!iniPath.empty() && !LooksLikeIni(QString::fromStdString(iniPath)));
    return true;
}

TSettingsStore::TRead TQtSettingsStore::ReadInt(const char* name, int32_t& value) {
    if (!settings || !settings->contains(name)) {
        return TRead::Missing;
    }
    bool ok = false;
    const QString text = settings->value(name).toString().trimmed();
    const int v = text.toInt(&ok, 10);
    if (!ok) {
        return TRead::NotInteger;
    }
    value = v;
    return TRead::Ok;
}

bool TQtSettingsStore::WriteInt(const char* name, int32_t value) {
    if (!settings || damaged) {
        return false;
    }
    settings->setValue(name, value);
    settings->sync();
    return settings->status() == QSettings::NoError;
}

void TQtSettingsStore::Close() {
    if (settings) {
        if (!damaged) {
            settings->sync();
        }
        settings.reset();
    }
    damaged = false;
}

void TQtSettingsStore::LoadPortOverrides(TPortMap& map) {
    if (iniPath.empty()) {
        return;  // the registry has no per-port devices: COMn are the system's own names
    }
    QSettings s(QString::fromStdString(iniPath), QSettings::IniFormat);
    for (int i = 0; i < TPortMap::kPorts; ++i) {
        const QString key = QString("ports/COM%1").arg(i + 1);
        const QString path = s.value(key).toString().trimmed();
        if (!path.isEmpty()) {
            map.SetPath(i, path.toStdString());
        }
    }
}
