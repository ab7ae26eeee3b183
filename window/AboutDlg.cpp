#include "window/AboutDlg.h"

#include <QPalette>
#include <QPixmap>

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent), m_Layout(this), m_Name(kAboutProgramName), m_Version(kVersionText), m_Ok("OK") {
    setWindowTitle(kAboutCaption);
    setAttribute(Qt::WA_QuitOnClose, false);
    // White behind everything; the texts blue.
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
    setPalette(palette);
    setAutoFillBackground(true);

    m_Logo.setPixmap(QPixmap(":/res/kestrove.png"));
    m_Picture.setPixmap(QPixmap(":/res/about.png"));
    m_Pictures.addWidget(&m_Logo);
    m_Pictures.addStretch();
    m_Pictures.addWidget(&m_Picture);
    m_Layout.addLayout(&m_Pictures);
    QFont bold = m_Name.font();
    bold.setBold(true);
    m_Name.setFont(bold);
    m_Name.setAlignment(Qt::AlignCenter);
    m_Version.setObjectName("version");
    m_Version.setAlignment(Qt::AlignCenter);
    m_Layout.addWidget(&m_Name);
    m_Layout.addWidget(&m_Version);
    m_Ok.setDefault(true);
    m_Layout.addWidget(&m_Ok, 0, Qt::AlignCenter);
    m_Layout.setSizeConstraint(QLayout::SetFixedSize);
    connect(&m_Ok, &QPushButton::clicked, this, &QDialog::accept);
}

CAboutDlg::~CAboutDlg() = default;
