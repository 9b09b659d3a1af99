#include "system/log.h"

#include "core/system/log.h"

#include <QString>

namespace lantern {

Q_LOGGING_CATEGORY(linkLog, "lantern.link", QtInfoMsg)
Q_LOGGING_CATEGORY(stationLog, "lantern.station", QtInfoMsg)
Q_LOGGING_CATEGORY(coreLog, "lantern.core", QtInfoMsg)

void routeCoreLog() {
    setLogSink([](std::string_view line) {
        qCInfo(coreLog).noquote() << QString::fromUtf8(line.data(),
                                                       static_cast<qsizetype>(line.size()));
    });
}

} // namespace lantern
