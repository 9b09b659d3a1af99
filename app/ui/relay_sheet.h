#pragma once

#include <QObject>
#include <QPointer>
#include <QQmlEngine>
#include <QString>

namespace lantern {

class Station;

// The relay screen's state: the Icecast server's address, its password and
// where listeners play it, as typed, handed to the station by save().
class RelaySheet : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString address MEMBER address_ NOTIFY changed)
    Q_PROPERTY(QString password MEMBER password_ NOTIFY changed)
    Q_PROPERTY(QString listenAddress MEMBER listenAddress_ NOTIFY changed)
    Q_PROPERTY(bool working READ working NOTIFY stateChanged)
    Q_PROPERTY(QString problem READ problem NOTIFY stateChanged)
    Q_PROPERTY(bool relaying READ relaying CONSTANT)
    // Said while the station has a passcode: the relay server's listeners need none.
    Q_PROPERTY(QString passcodeNote READ passcodeNote CONSTANT)
    // Said after saving, before the screen closes: where the password went
    // when the keyring refused it.
    Q_PROPERTY(QString notice READ notice NOTIFY stateChanged)

public:
    explicit RelaySheet(QObject* parent = nullptr);
    RelaySheet(Station& station, QObject* parent);

    bool working() const { return working_; }
    const QString& problem() const { return problem_; }
    // Whether a server was set when the screen opened.
    bool relaying() const { return relaying_; }
    QString passcodeNote() const;
    const QString& notice() const { return notice_; }

    // Keeps what was typed (the password in the keychain), or says what is
    // wrong; once a notice is shown, closes the screen.
    Q_INVOKABLE void save();
    // Relays to no server any more.
    Q_INVOKABLE void stopRelaying();

Q_SIGNALS:
    void changed();
    void stateChanged();
    void done();

private:
    void apply(QString address, QString password, QString listenAddress);

    QPointer<Station> station_;
    QString address_, password_, listenAddress_, problem_, notice_;
    bool working_ = false;
    bool relaying_ = false;
};

} // namespace lantern
