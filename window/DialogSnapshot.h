#pragma once
// The Setup dialog as a bitmap file for the launcher: the dialog made for the occasion, its controls turned
// into readable text (PrepareDialogForBmp), rendered by Qt and written as a Windows bitmap (SaveWindowAsBmp)
// into the shared documents folder under a new GUID's name, where the launcher reads it. The program never
// deletes the file.
//
// Everything here makes or touches widgets: for the user-interface thread only.

#include <functional>
#include <memory>
#include <string>

#include <QDialog>
#include <QWidget>

// Makes the dialog a snapshot shows, without a parent and not shown; null when it cannot be made.
using DialogFactory = std::function<std::unique_ptr<QDialog>()>;

// Readies |dialog| for its picture, every child by its kind: push buttons (and tool buttons) hidden; text
// fields (line edits, combo boxes, spin boxes, text edits) hidden and drawn instead as a gray frame over the
// same place with their text inside, 3 pixels in, right-aligned when the field is, in the field's font (a
// password field shows its mask, not the password); every other child enabled, so nothing comes out grayed.
// The layouts are frozen first, so no control moves when another is hidden. False only without a dialog.
bool PrepareDialogForBmp(QDialog* dialog);

// Renders |window| (its client area, without the frame) and writes it to |path| as a 32-bit bitmap. False
// when either is missing, the rendering is empty or the file cannot be written.
bool SaveWindowAsBmp(QWidget* window, const std::string& path);

// "APP SETTINGS FORM": the dialog |factory| makes, prepared and written to "<folder>/<new GUID>.tmp" in the
// shared documents folder (GetSpecialFolderPath(2)); the reply is the file's path, or "ERROR" + RS + why.
// The dialog is closed and destroyed in every case.
std::string MakeSettingsFormSnapshot(const DialogFactory& factory);
