#pragma once

#include "station/link_presence.h"

#include <QObject>
#include <QPointer>
#include <QQmlEngine>
#include <QString>

namespace lantern {

class Station;

// The who-can-listen sheet's state: what the user has chosen so far, read
// from the station when the sheet opens, and handed over all at once by
// save(). Nothing reaches the station before that.
class WhoCanListenModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(bool firstTime READ firstTime WRITE setFirstTime NOTIFY firstTimeChanged)
    Q_PROPERTY(lantern::LinkModes::Mode mode READ mode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(bool usePasscode READ usePasscode WRITE setUsePasscode NOTIFY usePasscodeChanged)
    Q_PROPERTY(QString passcode READ passcode WRITE setPasscode NOTIFY passcodeChanged)
    Q_PROPERTY(QString stationName READ stationName WRITE setStationName NOTIFY stationNameChanged)
    Q_PROPERTY(bool working READ working NOTIFY workingChanged)
    // The last failure followed by " Nothing changed."; empty when none.
    Q_PROPERTY(QString problem READ problem NOTIFY problemChanged)
    // Derived from the above (and the station's address service).
    Q_PROPERTY(bool canConfirm READ canConfirm NOTIFY derivedChanged)
    Q_PROPERTY(QString confirmLabel READ confirmLabel NOTIFY derivedChanged)
    Q_PROPERTY(QString keptDetail READ keptDetail NOTIFY derivedChanged)
    Q_PROPERTY(QString namedDetail READ namedDetail NOTIFY derivedChanged)
    Q_PROPERTY(QString nameHint READ nameHint NOTIFY derivedChanged)
    Q_PROPERTY(QString warning READ warning NOTIFY derivedChanged)
    // Kept and named links need an address service; without one their rows
    // say how to set one up and cannot be chosen.
    Q_PROPERTY(bool serviceConfigured READ serviceConfigured NOTIFY derivedChanged)
    // "Use an address service…": checking the one typed, or why it is not one.
    Q_PROPERTY(bool checkingService READ checkingService NOTIFY serviceStateChanged)
    Q_PROPERTY(QString serviceProblem READ serviceProblem NOTIFY serviceStateChanged)
    // Said before a new passcode is kept: the desktop's keyring may ask for
    // its password. Empty when no keyring will be asked.
    Q_PROPERTY(QString keyringHint READ keyringHint NOTIFY derivedChanged)
    // Said while a passcode is chosen and the station is relayed: the relay
    // server's listeners need none.
    Q_PROPERTY(QString relayNote READ relayNote NOTIFY derivedChanged)
    // Said after saving, before the sheet closes: where the passcode went
    // when the keyring refused it.
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)
    // The user's own tunnel's host, once one is set up; empty otherwise.
    Q_PROPERTY(QString ownHost READ ownHost CONSTANT)

public:
    explicit WhoCanListenModel(QObject* parent = nullptr);
    explicit WhoCanListenModel(Station& station, QObject* parent = nullptr);

    bool firstTime() const { return firstTime_; }
    void setFirstTime(bool on);
    LinkMode mode() const { return mode_; }
    void setMode(LinkMode mode);
    const QString& name() const { return name_; }
    void setName(const QString& name);
    bool usePasscode() const { return usePasscode_; }
    void setUsePasscode(bool on);
    const QString& passcode() const { return passcode_; }
    void setPasscode(const QString& passcode);
    const QString& stationName() const { return stationName_; }
    void setStationName(const QString& name);
    bool working() const { return working_; }
    const QString& problem() const { return problem_; }

    bool canConfirm() const;
    QString confirmLabel() const;
    QString keptDetail() const;
    QString namedDetail() const;
    QString nameHint() const;
    QString warning() const;
    bool serviceConfigured() const;
    bool checkingService() const { return checkingService_; }
    const QString& serviceProblem() const { return serviceProblem_; }
    QString keyringHint() const;
    QString relayNote() const;
    const QString& notice() const { return notice_; }
    QString ownHost() const;

    // Hands every choice to the station; `done` follows its acceptance, a
    // failure sets `problem`.
    Q_INVOKABLE void save();
    // Checks the address service at `url` and uses it when it is one.
    Q_INVOKABLE void useService(const QString& url);
    // A passcode suggestion: four groups of four letters and digits, 80 bits.
    static QString suggestion();
    Q_INVOKABLE QString madeUp() const;

Q_SIGNALS:
    void firstTimeChanged();
    void modeChanged();
    void nameChanged();
    void usePasscodeChanged();
    void passcodeChanged();
    void stationNameChanged();
    void workingChanged();
    void problemChanged();
    void derivedChanged();
    void serviceStateChanged();
    void noticeChanged();
    void done(bool goOnAir);

private:
    template <typename T> void update(T& field, T value, void (WhoCanListenModel::*changed)());
    QString host() const;
    bool available(LinkMode mode) const;

    QPointer<Station> station_;
    bool firstTime_ = false;
    LinkMode mode_;
    QString name_, passcode_, stationName_, problem_;
    bool usePasscode_ = false;
    bool working_ = false;
    bool checkingService_ = false;
    bool keyring_ = false; // a Secret Service is there
    QString notice_;
    QString serviceProblem_;
};

} // namespace lantern
