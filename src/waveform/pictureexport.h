#pragma once

#include <QString>

class QWidget;

// "Export": asks for a file name and writes what `shown` displays as a PNG picture. A name
// without a suffix gets ".png". A picture that could not be written is told in a warning over
// `window`; a half-written file is removed. Returns the file written, empty when none.
QString exportPicture(QWidget *window, QWidget *shown);
