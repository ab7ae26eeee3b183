#pragma once
// The About box: the program's name, its pictures and the version line, blue on white.

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/VYRRuvuzUvirIP_Voda50App.h" // kVersionText

inline constexpr char kAboutCaption[] = "About";
inline constexpr char kAboutProgramName[] = "Kestrove (RuvuzUvir)";

// Owns its controls. Not thread-safe: for the user-interface thread, shown modally.
class CAboutDlg final : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;
    CAboutDlg(const CAboutDlg&) = delete;
    CAboutDlg& operator=(const CAboutDlg&) = delete;

    // Static 1021.
    const QLabel& VersionControl() const { return m_Version; }

private:
    QVBoxLayout m_Layout;
    QHBoxLayout m_Pictures;
    QLabel m_Logo;    // bitmap 301
    QLabel m_Picture; // bitmap 300
    QLabel m_Name;
    QLabel m_Version; // static 1021
    QPushButton m_Ok;
};
