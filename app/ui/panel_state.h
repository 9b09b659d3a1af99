#pragma once

#include <QObject>
#include <QPointer>
#include <QQmlEngine>

namespace lantern {

class Station;

// Which screen the panel shows, and what its buttons do: the who-can-listen
// sheet when the user asked for it or pressed go on air before ever choosing;
// otherwise the on-air or the off-air screen.
class PanelState : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(Screen screen READ screen NOTIFY screenChanged)
    Q_PROPERTY(bool choosing READ choosing NOTIFY screenChanged)
    Q_PROPERTY(bool firstRunAsked READ firstRunAsked NOTIFY screenChanged)

public:
    enum class Screen { Sheet, OnAir, OffAir, About, Relay };
    Q_ENUM(Screen)

    // The panel's station (ui::station()); the sheet opens first when the
    // setting "debugShowChoice" says so.
    explicit PanelState(QObject* parent = nullptr);
    explicit PanelState(Station& station, bool showChoice = false);

    Screen screen() const;
    bool choosing() const { return choosing_; }
    bool firstRunAsked() const { return firstRunAsked_; }

    // The off-air screen's go-on-air button.
    Q_INVOKABLE void goOnAir();
    // "Change" (who can listen) on either screen.
    Q_INVOKABLE void change();
    // The sheet accepted; goes on air when it was opened by go on air.
    Q_INVOKABLE void sheetDone(bool goOnAir);
    Q_INVOKABLE void sheetCancelled();
    // About Lantern FM, the relay's settings, and back from either.
    Q_INVOKABLE void about();
    Q_INVOKABLE void relay();
    Q_INVOKABLE void back();

Q_SIGNALS:
    void screenChanged();

private:
    void set(bool choosing, bool firstRunAsked);

    QPointer<Station> station_;
    bool choosing_ = false;
    bool firstRunAsked_ = false;
    bool about_ = false;
    bool relay_ = false;
};

} // namespace lantern
