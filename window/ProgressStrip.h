#pragma once

#include <QElapsedTimer>
#include <QProgressBar>
#include <QTimer>

// The upload progress strip, painted by hand: a style draws a busy bar as a
// full one, which at a few pixels' height reads as "all done". While busy
// (range 0..0) a short piece goes to and fro instead.
class ProgressStrip : public QProgressBar
{
    Q_OBJECT

public:
    explicit ProgressStrip(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer m_frames;
    QElapsedTimer m_clock;
};
