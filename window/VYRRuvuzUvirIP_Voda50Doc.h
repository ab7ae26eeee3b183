#pragma once
// The window's document: empty but for one number. The window never shows a document name.

// The document template's texts: the window title, the file filter's names and the type names.
inline constexpr char kDocumentTemplate[] = "Kestrove\n\nKestrove\n\n\nKestrove.Document\nKestrove Document";

// Made with the main window and destroyed after it. Not thread-safe: for the user-interface thread.
class CVYRRuvuzUvirIP_Voda50Doc {
public:
    // A new, empty document.
    bool OnNewDocument() { return true; }
    int GetValue() const { return m_Value; }
    void SetValue(int value) { m_Value = value; }

private:
    int m_Value = 0;
};
