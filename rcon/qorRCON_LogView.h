#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QPlainTextEdit>
#include <QString>
#include <QTextCharFormat>
#include <QTimer>
#include <deque>
#include <string>
#include <vector>

class QLabel;
class QMimeData;
class QTextCursor;

// What a log line is; each kind has its own look.
enum class TqorRCONLogKind { Event, Answer, Command };

// A run of text in one format, after the Minecraft colour and style codes (section sign and
// one character) were taken out.
struct TqorRCONTextRun {
  QString Text;
  QTextCharFormat Format;
};

// Splits aText at its codes. aFormat is the format in force at the start and, on return, at
// the end, so a long text can be split piece by piece. Unknown codes stay as text.
std::vector<TqorRCONTextRun> SplitColourCodes(const QString& aText, QTextCharFormat& aFormat);

// The log's view. A line longer than RowChars is shown as several blocks, the later ones marked
// as continued: one block of megabytes would be laid out anew at every change and freeze the
// window. Copying joins them again, so what is copied is the text as it arrived.
class TqorRCON_LogEdit : public QPlainTextEdit {
 public:
  static constexpr qsizetype RowChars = 8192;

  using QPlainTextEdit::QPlainTextEdit;
  // The text between two positions of the document, continued blocks joined.
  QString Text(int aFrom, int aTo) const;
  QString Text() const;
  QString SelectedText() const;
  // The whole entry (a log line, a command, an answer of however many lines) at aPosition.
  QString EntryText(int aPosition) const;
  // Selects the next (aBackward: previous) match of aText after the cursor, from the other end
  // when there is none, and highlights every match; false when there is none at all.
  bool Find(const QString& aText, bool aBackward);
  static constexpr int MaxHighlights = 2000;

 protected:
  QMimeData* createMimeDataFromSelection() const override;
};

// The console's log on a read-only plain text view. Lines are appended in batches from the
// event loop, a slice of at most a few milliseconds at a time, so that a flood of answers
// leaves the window painting and answering; only the newest MaxLines lines are kept (aNote
// becomes visible once older ones were dropped). The text is current at once, but the view
// repaints at most once a frame: a burst of short answers would otherwise spend most of its
// time painting. The view follows new lines only while it was scrolled to the bottom.
class TqorRCON_LogView : public QObject {
 public:
  static constexpr int MaxLines = 100000;

  TqorRCON_LogView(TqorRCON_LogEdit* aView, QLabel* aNote);

  // aText is UTF-8; it is turned into the view's text piece by piece as it is inserted.
  void Append(std::string aText, TqorRCONLogKind aKind);
  // Inserts everything still pending.
  void Flush();
  void Clear();
  // The log as it arrived (codes taken out, long lines whole), everything pending inserted.
  QString PlainText();
  // The log as plain text (codes taken out), UTF-8; false with aError when it failed.
  bool SaveToFile(const QString& aFileName, QString& aError);

  bool Timestamps() const { return FTimestamps; }
  void SetTimestamps(bool aValue) { FTimestamps = aValue; }
  bool Dropped() const { return FDropped; }
  // Nothing is waiting to be inserted.
  bool Idle() const { return FPending.empty(); }

 private:
  struct TEntry {
    std::string Text;
    size_t Start = 0;        // bytes before it are inserted or dropped
    QTextCharFormat Format;  // in force where the text goes on
    size_t Lines = 1;        // lines still to insert
    bool Continued = false;  // its first piece is in the view already
    bool Codes = false;      // colour codes are rendered (answers only)
    TqorRCONLogKind Kind = TqorRCONLogKind::Event;
  };

  void FlushFor(int aBudgetMs);
  void ScheduleFlush();
  bool eventFilter(QObject* aObject, QEvent* aEvent) override;
  void DropBeyondCap();
  void SetDropped();
  // Inserts aText at the end, starting a continued block where a line outgrows RowChars.
  void InsertText(QTextCursor& aCursor, const QString& aText, const QTextCharFormat& aFormat);

  TqorRCON_LogEdit* FView;
  QLabel* FNote;
  bool FFlushScheduled = false;
  QElapsedTimer FLastPaint;
  QTimer FFrameTimer;
  std::deque<TEntry> FPending;
  size_t FPendingLines = 0;
  bool FEmpty = true;
  qsizetype FRowChars = 0;  // characters in the last block
  qsizetype FBlocksAdded = 0;
  bool FTimestamps = false;
  bool FDropped = false;
};
