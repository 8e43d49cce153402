#include "inputmap.h"

#include <QKeyEvent>

KeyInput keyInput(const QKeyEvent& event)
{
    KeyInput key;
    key.nativeScanCode = event.nativeScanCode();
    key.key = event.key();
    key.keypad = event.modifiers() & Qt::KeypadModifier;
    key.modifiers = uint32_t(event.modifiers());
    return key;
}

int WheelSteps::add(const QPoint& angleDelta)
{
    constexpr int kNotch = 120;
    // A change of direction starts afresh: what was left over belonged to the other way.
    if ((rest > 0 && angleDelta.y() < 0) || (rest < 0 && angleDelta.y() > 0))
        rest = 0;
    rest += angleDelta.y();
    const int notches = rest / kNotch;
    rest -= notches * kNotch;
    return notches;
}

PointerAction pointerAction(QEvent::Type type, int button, const PointerState& state)
{
    switch (type) {
    case QEvent::MouseMove:
        if (state.grabbed)
            return PointerAction::MoveBy;
        // A drag that started on the picture goes on at its edge.
        if (!state.serverMouse && state.pictureShown && (state.inside || state.heldButtons))
            return PointerAction::PositionAt;
        return PointerAction::Ignore;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (state.serverMouse && !state.grabbed)
            return state.inside ? PointerAction::TakePointer : PointerAction::Ignore;
        return state.inside || state.grabbed ? PointerAction::Press : PointerAction::Ignore;
    case QEvent::MouseButtonRelease:
        // Only a release whose press reached the server; that one is never lost.
        if (!(state.heldButtons & button))
            return PointerAction::Ignore;
        if (!state.inside && !state.grabbed && !state.serverMouse && state.pictureShown)
            return PointerAction::ReleaseAtEdge;
        return PointerAction::Release;
    default:
        return PointerAction::Ignore;
    }
}
