#pragma once

// The main window's controls as data: one row per control with its name, kind, place and
// caption. The window is built from these rows in one loop; the reading display finds its
// panels through the channel and lamp tables below.

#include <array>
#include <string>
#include <vector>

enum class ControlKind {
    Label,       // static text
    Rule,        // one-pixel line
    FramedPanel, // coloured panel with a sunken border and a centred caption
    Panel,       // coloured panel without border (lamps, counters)
    RaisedPanel, // the legend
    Button,
    ComboBox, // pick-only drop-down list
    StatusBar,
};

struct ControlRect {
    int Left = 0, Top = 0, Width = 0, Height = 0;
};

struct ControlRow {
    std::string Name;
    ControlKind Kind;
    ControlRect Rect;
    std::string Caption;     // UTF-8; for lists, the items separated by '|'
    std::string Parent = {}; // empty: the window; else the name of the containing panel
    int VisibleItems = 0;    // lists only
};

constexpr int kClientWidth = 760;
constexpr int kClientHeight = 360;
// The client area as designed; the creation handler sets the final height above.
constexpr int kDesignedClientHeight = 365;

// Every control of the window, parents before their children.
const std::vector<ControlRow>& FormControls();

// Panels of one channel: value, error code, and the lamps for state bits 2, 1 and 0.
struct ChannelPanels {
    int Value, Code, Bit2, Bit1, Bit0;
};
extern const std::array<ChannelPanels, 12> kChannelPanels;

// Lamps of relays, inputs, buffers and keys, in painting order, with the flag each shows.
enum class FlagSet { Relay, Discrete, Key };
struct FlagLamp {
    int Panel;
    FlagSet Set;
    int Entry;
};
extern const std::array<FlagLamp, 32> kFlagLamps;

constexpr int kPlusKeyPanel = 52;
constexpr int kStatusNumberPanel = 57;
constexpr int kChecksumReceivedPanel = 59;
constexpr int kChecksumComputedPanel = 60;
constexpr int kRequestCountPanel = 61;
constexpr int kErrorCountPanel = 62;
