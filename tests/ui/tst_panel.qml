import QtQuick
import QtTest
import Lantern
import LanternTest

// The real panel, clicked through: the first go on air asks who can listen
// first; later ones go straight on air; Copy Link copies the share link; the
// keyboard reaches and names every control; every control can be pressed.
TestCase {
    id: test
    name: "Panel"; when: windowShown
    width: 356; height: 800; visible: true

    Component { id: panelComponent; Panel {} }

    function openPanel() { return createTemporaryObject(panelComponent, test) }
    // A panel on air, its link ready, whether or not who can listen was asked.
    function onAirPanel() {
        const panel = openPanel()
        Station.goOnAir()
        tryVerify(() => Station.linkState === Station.Ready, 10000)
        return panel
    }
    function click(panel, name) {
        let item = null
        tryVerify(() => (item = findChild(panel, name)) !== null && item.visible, 5000, name)
        mouseClick(item)
    }

    function cleanup() { Station.goOffAir() }

    function test_1_theFirstGoOnAirAsksWhoCanListenLaterOnesGoStraightOn() {
        verify(!Station.presence.asked)
        const panel = openPanel()
        click(panel, "goOnAir")
        verify(!Station.onAir, "went on air before asking")
        click(panel, "usePasscode")
        click(panel, "makeOneUp")
        const made = findChild(panel, "passcode").text
        verify(/^[0-9a-z]{4}(-[0-9a-z]{4}){3}$/.test(made), "made up: " + made)
        click(panel, "usePasscode")
        click(panel, "confirm")
        tryVerify(() => Station.onAir, 5000)
        verify(Station.presence.asked)
        Station.goOffAir()
        click(panel, "goOnAir")
        tryVerify(() => Station.onAir, 5000)
    }

    function test_2b_escapePutsThePanelAway() {
        const panel = openPanel()
        let asked = false
        panel.closeRequested.connect(() => asked = true)
        keyClick(Qt.Key_Escape)
        verify(asked, "Escape did not ask to close the panel")
    }

    function test_3_copyLinkCopiesTheShareLink() {
        const panel = onAirPanel()
        click(panel, "copyLink")
        const pill = findChild(panel, "copyLink")
        compare(pill.text, "Copied")
        compare(Probe.clipboard(), Station.shareLink.toString())
        tryCompare(pill, "text", "Copy Link", 3000)
    }

    // Tab walks every control of the on-air screen, each with a name for a
    // screen reader, and comes round again; Space on a focused button acts.
    function test_4_everyControlIsReachedByTabAndNamed() {
        const panel = onAirPanel()
        panel.forceActiveFocus()
        const seen = []
        for (let step = 0; step < 40; ++step) {
            keyClick(Qt.Key_Tab)
            const item = panel.Window.activeFocusItem
            verify(item, "Tab left the panel")
            if (seen.indexOf(item) >= 0) break
            seen.push(item)
            verify(Probe.accessibleName(item) !== "", "a control without a name: " + item)
        }
        verify(seen.length >= 8, "only " + seen.length + " controls reached")
        const goOff = findChild(panel, "goOffAir")
        verify(seen.indexOf(goOff) >= 0, "Go Off Air not reached")
        goOff.forceActiveFocus()
        keyClick(Qt.Key_Space)
        tryVerify(() => !Station.onAir, 5000)
    }

    // Without the tunnel program the card says so: How to Get It opens the
    // vendor's page, and the local address opens in the browser.
    function test_5_withoutTheTunnelProgramTheCardSaysWhatToDo() {
        const tool = Probe.environment("LANTERN_CLOUDFLARED")
        Probe.setEnvironment("LANTERN_CLOUDFLARED", "/nonexistent/cloudflared")
        const panel = openPanel()
        click(panel, "goOnAir")
        click(panel, "howToGetIt")
        compare(Probe.opened(), [Station.toolPage.toString()])
        const here = findChild(panel, "listenHere")
        let x = here.width
        while (x > 0 && here.linkAt(x, here.height / 2) === "") --x
        mouseClick(here, x - 2, here.height / 2)
        compare(Probe.opened()[1], Station.localAddress.toString())
        Probe.setEnvironment("LANTERN_CLOUDFLARED", tool)
    }

    // ---- Every control of every screen, pressed ----

    // The buttons under `item` that can be pressed now: visible and enabled.
    function buttons(item, found) {
        for (const child of Array.from(item.children).filter(c => c.visible)) {
            if (child.enabled && child.checkable !== undefined && child.pressed !== undefined)
                found.push(child)
            buttons(child, found)
        }
        return found
    }
    function named(control) { return control.objectName || control.Accessible.name || control.text }
    function find(panel, name) { return buttons(panel, []).find(b => named(b) === name) }
    function openMenu(button) {
        return Array.from(button.data).find(d => d.itemAt !== undefined && d.opened) || null
    }

    // Presses each control of the screen shown now once, and each item of
    // the menus they open, but those named in `leaving` (they change the
    // screen or end the app); `back` restores the screen after each. A
    // control whose code fails warns, which ends the run here.
    function pressEverything(panel, leaving, back) {
        const pressed = []
        for (let next; (next = buttons(panel, []).find(b => pressed.indexOf(named(b)) < 0
                                                       && leaving.indexOf(named(b)) < 0));) {
            const name = named(next)
            pressed.push(name)
            mouseClick(next)
            const menu = openMenu(next)
            for (let i = 0; menu && i < menu.count; ++i) {
                const item = menu.itemAt(i)
                if (item.text === undefined || leaving.indexOf(item.text) >= 0) continue
                const opener = find(panel, name)
                if (!openMenu(opener)) mouseClick(opener)
                tryVerify(() => openMenu(opener) !== null, 2000, name)
                mouseClick(openMenu(opener).itemAt(i))
                back()
            }
            if (menu) menu.close()
            back()
        }
        return pressed
    }

    // Each screen: what must not be pressed there (it changes the screen or
    // ends the app), what it must offer, the button that leaves it, if any.
    function test_6_everyControlOfEveryScreenCanBePressed_data() {
        const leaving = ["Quit Lantern FM", "goOnAir", "goOffAir", "confirm", "Cancel"]
        return [
            {tag: "off air", screen: PanelState.OffAir, leaving: leaving.concat(["Change"]), least: 5},
            {tag: "sheet", screen: PanelState.Sheet, open: "change", leaving: leaving,
             reached: ["makeOneUp"]},
            {tag: "on air", screen: PanelState.OnAir, onAir: true, leaving: leaving.concat(["Change"]),
             reached: ["copyLink", "showQR", "share", "stopAfter"]},
            {tag: "about", screen: PanelState.About, open: "about", leaving: ["aboutBack"],
             leave: "aboutBack"},
            // Saving without an address says what is missing.
            {tag: "relay", screen: PanelState.Relay, open: "relay", leaving: ["relayCancel"],
             reached: ["relaySave"], leave: "relayCancel",
             line: "Type the server's address, like icecast://host:8000/live"},
        ]
    }
    function test_6_everyControlOfEveryScreenCanBePressed(data) {
        const panel = openPanel()
        const state = findChild(panel, "panelState")
        const show = () => { // the row's screen, again after each press
            if (Station.onAir !== !!data.onAir) data.onAir ? Station.goOnAir() : Station.goOffAir()
            if (state.screen !== data.screen) {
                state.sheetCancelled()
                state.back()
                if (data.open) state[data.open]()
            }
            if (data.onAir) tryVerify(() => Station.linkState === Station.Ready, 10000)
        }
        show()
        const pressed = pressEverything(panel, data.leaving, show)
        verify(pressed.length >= (data.least || 0), data.tag + ": " + pressed)
        for (const name of data.reached || []) verify(pressed.indexOf(name) >= 0, name + ": " + pressed)
        if (data.line) compare(findChild(panel, "relayLine").text, data.line)
        if (data.leave) {
            click(panel, data.leave)
            tryVerify(() => state.screen !== data.screen, 2000, data.leave + " does not leave")
        }
    }

    // Record: the switch keeps the show, whose length shows on air, and
    // Show Recordings opens the folder the files go to.
    function test_7_recordKeepsTheShow() {
        Station.recordings.on = false // as the earlier tests' presses left it
        const panel = openPanel()
        click(panel, "record")
        verify(Station.recordings.on, "the switch did not turn recording on")
        click(panel, "goOnAir")
        tryVerify(() => Station.recordings.seconds >= 1, 5000, "no recording on air")
        const gear = find(panel, "gear")
        mouseClick(gear)
        let menu = null
        tryVerify(() => (menu = openMenu(gear)) !== null, 2000)
        mouseClick(Array.from({length: menu.count}, (_, i) => menu.itemAt(i))
                   .find(item => item.text === "Show Recordings"))
        compare(Probe.opened().slice(-1)[0], "file://" + Probe.environment("HOME") + "/Music/Lantern FM")
        Station.recordings.on = false
    }
}
