#include "form_layout.h"

#include "list_positions.h"
#include "speed_table.h"

const std::array<ChannelPanels, 12> kChannelPanels = {{
    {1, 2, 63, 64, 65},
    {3, 4, 66, 67, 68},
    {5, 10, 69, 70, 71},
    {14, 15, 72, 73, 74},
    {18, 19, 75, 76, 77},
    {22, 24, 78, 79, 80},
    {6, 7, 81, 82, 83},
    {8, 9, 84, 85, 86},
    {12, 13, 88, 89, 90},
    {16, 17, 91, 92, 93},
    {20, 21, 94, 95, 96},
    {23, 25, 97, 98, 99},
}};

const std::array<FlagLamp, 32> kFlagLamps = {{
    {26, FlagSet::Relay, 0},    {27, FlagSet::Relay, 1},    {28, FlagSet::Relay, 2},
    {29, FlagSet::Relay, 3},    {30, FlagSet::Relay, 4},    {31, FlagSet::Relay, 5},
    {32, FlagSet::Relay, 6},    {33, FlagSet::Relay, 7},    {34, FlagSet::Relay, 8},
    {35, FlagSet::Relay, 9},    {36, FlagSet::Relay, 10},   {37, FlagSet::Relay, 11},
    {38, FlagSet::Relay, 12},   {39, FlagSet::Relay, 13},   {40, FlagSet::Relay, 14},
    {41, FlagSet::Relay, 15},   {42, FlagSet::Discrete, 0}, {43, FlagSet::Discrete, 1},
    {44, FlagSet::Discrete, 2}, {45, FlagSet::Discrete, 3}, {46, FlagSet::Discrete, 8},
    {47, FlagSet::Discrete, 9}, {48, FlagSet::Key, 0},      {49, FlagSet::Key, 1},
    {58, FlagSet::Key, 9},      {50, FlagSet::Key, 4},      {51, FlagSet::Key, 5},
    {52, FlagSet::Key, 2},      {53, FlagSet::Key, 3},      {54, FlagSet::Key, 6},
    {55, FlagSet::Key, 8},      {56, FlagSet::Key, 7},
}};

namespace {

std::string PanelName(int n) {
    return std::string("Panel").append(std::to_string(n));
}

std::string NumberItems(int count) {
    std::string items;
    for (int i = 0; i < count; ++i)
        items.append(i ? "|" : "").append(std::to_string(i));
    return items;
}

// "COM 1|COM 2|...": the ports the list offers.
std::string PortItems() {
    std::string items;
    for (uint16_t port = 1; port <= kListedPorts; ++port)
        items.append(port > 1 ? "|" : "").append("COM ").append(std::to_string(port));
    return items;
}

// "4800|9600|...": the baud rates of the speeds the list offers.
std::string SpeedItems() {
    std::string items;
    for (uint16_t index = kFirstListedSpeed; index <= kLastListedSpeed; ++index)
        items.append(index > kFirstListedSpeed ? "|" : "")
            .append(std::to_string(kSpeedTable[index].Baud));
    return items;
}

std::vector<ControlRow> MakeControls() {
    using K = ControlKind;
    std::vector<ControlRow> rows = {
        {"Button2", K::Button, {10, 5, 136, 21}, "Смена размера окна"},
        {"Label3", K::Label, {234, 3, 77, 13}, "Сетевой номер"},
        {"ComboBox3", K::ComboBox, {318, 0, 57, 21}, NumberItems(256), "", 11},
        {"Button1", K::Button, {385, 4, 129, 25}, "Начать обмен"},
    };

    // Channels 1-6 in the upper row, 7-12 in the lower; columns from left to right.
    struct Column {
        int valueLeft, valueWidth, codeLeft, lampLeft[3];
    };
    constexpr Column kColumns[6] = {
        {5, 56, 65, {85, 100, 115}},     {130, 56, 190, {210, 225, 240}},
        {255, 56, 315, {335, 350, 365}}, {380, 56, 440, {460, 475, 490}},
        {505, 56, 565, {585, 600, 615}}, {630, 61, 695, {715, 730, 745}},
    };
    for (int ch = 0; ch < 12; ++ch) {
        const Column& c = kColumns[ch % 6];
        const int top = ch < 6 ? 35 : 65;
        const ChannelPanels& p = kChannelPanels[ch];
        rows.push_back(
            {PanelName(p.Value), K::FramedPanel, {c.valueLeft, top, c.valueWidth, 21}, ""});
        rows.push_back({PanelName(p.Code), K::FramedPanel, {c.codeLeft, top, 16, 21}, ""});
        const int lamps[3] = {p.Bit2, p.Bit1, p.Bit0};
        for (int i = 0; i < 3; ++i)
            rows.push_back({PanelName(lamps[i]), K::Panel, {c.lampLeft[i], top, 11, 21}, ""});
    }

    rows.push_back({"Label17", K::Label, {10, 95, 36, 13}, "Реле"});
    rows.push_back({"Shape1", K::Rule, {50, 100, 446, 1}, ""});
    constexpr int kLampLefts[8] = {5, 65, 125, 185, 250, 310, 370, 430};
    for (int i = 0; i < 16; ++i) {
        const int left = kLampLefts[i % 8];
        rows.push_back({PanelName(26 + i),
                        K::Panel,
                        {left, i < 8 ? 110 : 130, left == 185 ? 61 : 56, 16},
                        std::string("Реле ").append(std::to_string(i + 1))});
    }
    rows.push_back({"Label18", K::Label, {5, 150, 98, 13}, "Дискретные входы"});
    rows.push_back({"Shape2", K::Rule, {115, 155, 381, 1}, ""});
    for (int i = 0; i < 4; ++i) {
        const int left = kLampLefts[i];
        rows.push_back({PanelName(42 + i),
                        K::Panel,
                        {left, 170, left == 185 ? 61 : 56, 16},
                        std::string("Вход ").append(std::to_string(i + 1))});
    }

    const std::vector<ControlRow> rest = {
        {"Panel46", K::Panel, {250, 170, 91, 16}, "Упр.буфер1"},
        {"Panel47", K::Panel, {350, 170, 91, 16}, "Упр.буфер2"},
        {"Label19", K::Label, {5, 190, 37, 13}, "Кнопки"},
        {"Shape3", K::Rule, {50, 200, 446, 1}, ""},
        {"Panel48", K::Panel, {5, 210, 56, 16}, "Канал +"},
        {"Panel49", K::Panel, {5, 230, 56, 16}, "Канал -"},
        {"Panel57", K::Panel, {70, 210, 86, 36}, ""},
        {"Panel58", K::Panel, {165, 210, 131, 21}, "Проверка защит"},
        {"Panel50", K::Panel, {70, 255, 51, 16}, "<-"},
        {"Panel51", K::Panel, {135, 255, 51, 16}, "->"},
        {"Panel52", K::Panel, {190, 255, 51, 16}, "+"},
        {"Panel53", K::Panel, {250, 255, 56, 16}, "-"},
        {"Panel54", K::Panel, {315, 255, 56, 16}, "X"},
        {"Panel55", K::Panel, {380, 255, 51, 16}, "EXE"},
        {"Panel56", K::Panel, {440, 255, 51, 16}, "Ключ"},

        {"Label1", K::Label, {12, 289, 25, 13}, "Порт"},
        {"ComboBox1", K::ComboBox, {40, 285, 71, 21}, PortItems(), "", 2},
        {"Label2", K::Label, {118, 289, 48, 13}, "Скорость"},
        {"ComboBox2", K::ComboBox, {174, 285, 61, 21}, SpeedItems(), "", 4},

        {"Label20", K::Label, {20, 310, 102, 13}, "Контрольная сумма"},
        {"Shape4", K::Rule, {125, 320, 381, 1}, ""},
        {"Label21", K::Label, {5, 325, 49, 13}, "Принятая"},
        {"Panel59", K::Panel, {60, 325, 51, 16}, ""},
        {"Label22", K::Label, {120, 325, 72, 13}, "Подсчитанная"},
        {"Panel60", K::Panel, {200, 325, 56, 16}, ""},
        {"Label23", K::Label, {260, 325, 83, 13}, "Число запросов"},
        {"Panel61", K::Panel, {345, 325, 66, 16}, ""},
        {"Label24", K::Label, {415, 325, 40, 13}, "Ошибки"},
        {"Panel62", K::Panel, {460, 325, 46, 16}, ""},

        {"StatusBar1", K::StatusBar, {0, kClientHeight - 16, kClientWidth, 16}, ""},

        // The legend, which explains the colours of a channel; it never changes.
        {"Panel101", K::RaisedPanel, {510, 115, 225, 131}, ""},
        {"Panel102", K::FramedPanel, {10, 65, 61, 21}, "100.1", "Panel101"},
        {"Panel103", K::FramedPanel, {75, 65, 16, 21}, "0", "Panel101"},
        {"Panel104", K::Panel, {95, 65, 11, 21}, "", "Panel101"},
        {"Panel105", K::Panel, {110, 65, 11, 21}, "", "Panel101"},
        {"Panel106", K::Panel, {127, 65, 11, 21}, "", "Panel101"},
        {"Label4", K::Label, {70, 5, 114, 13}, "Измеренное значение", "Panel101"},
        {"Label5", K::Label, {50, 30, 108, 13}, "Код ошибки в канале", "Panel101"},
        {"Label6", K::Label, {130, 45, 77, 13}, "Обрыв датчика", "Panel101"},
        {"Label7", K::Label, {30, 95, 52, 13}, "Уставка 2", "Panel101"},
        {"Label8", K::Label, {160, 95, 52, 13}, "Уставка 1", "Panel101"},
        // Leader lines from each label to its sample.
        {"Leader1", K::Rule, {25, 15, 42, 1}, "", "Panel101"},
        {"Leader2", K::Rule, {25, 15, 1, 66}, "", "Panel101"},
        {"Leader3", K::Rule, {85, 45, 1, 21}, "", "Panel101"},
        {"Leader4", K::Rule, {100, 55, 1, 11}, "", "Panel101"},
        {"Leader5", K::Rule, {100, 55, 27, 1}, "", "Panel101"},
        {"Leader6", K::Rule, {115, 85, 1, 17}, "", "Panel101"},
        {"Leader7", K::Rule, {90, 100, 26, 1}, "", "Panel101"},
        {"Leader8", K::Rule, {131, 85, 1, 22}, "", "Panel101"},
        {"Leader9", K::Rule, {130, 105, 27, 1}, "", "Panel101"},
    };
    rows.insert(rows.end(), rest.begin(), rest.end());
    return rows;
}

} // namespace

const std::vector<ControlRow>& FormControls() {
    static const std::vector<ControlRow> rows = MakeControls();
    return rows;
}
