#pragma once

// What the session is doing. Card and network work run on workers; while any runs, nothing that
// could disturb it can be clicked, a card inserted meanwhile waits, and a close waits.
enum class SessionState {
    Starting, // the reader list is being read
    Idle, // no card ready to be read
    Identifying,
    Ready, // an identified card: it can be read
    Running, // a download run
    Asking, // the upload question is open
    Uploading,
};

inline bool isBusy(SessionState state)
{
    switch (state) {
    case SessionState::Idle:
    case SessionState::Ready:
        return false;
    case SessionState::Starting:
    case SessionState::Identifying:
    case SessionState::Running:
    case SessionState::Asking:
    case SessionState::Uploading:
        break;
    }
    return true;
}

// Which controls can be used, as the session's state and the reader choice allow.
struct EnabledControls
{
    bool readButton = false;
    bool readerButton = false;
    bool readerList = false;
    bool pathButton = false;

    bool operator==(const EnabledControls &) const = default;
};
