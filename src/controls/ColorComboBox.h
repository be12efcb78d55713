#pragma once

#include <QComboBox>

#include <cstdint>

// A drop-down list of the named colours, each shown as a swatch and its name.
class ColorComboBox : public QComboBox
{
    Q_OBJECT
public:
    explicit ColorComboBox(QWidget* parent = nullptr);

    // Selects the first entry with this value; a value no entry has leaves the selection.
    void setColor(uint32_t argb);
    // The selected entry's value; 0x00000000 when none is selected.
    uint32_t color() const;

signals:
    // The selection moved (by the user or by setColor); not sent for the entry already chosen.
    void colorChanged(uint32_t argb);
};
