#include "ProgressStrip.h"

#include <QPainter>

#include <algorithm>

namespace {

// A bar with a one-pixel edge whose corner pixels stay clear, so its ends look rounded.
void Bar(QPainter& painter, const QRect& area, const QColor& edge, const QColor& fill)
{
    painter.fillRect(area.adjusted(1, 0, -1, 0), edge);
    painter.fillRect(area.adjusted(0, 1, 0, -1), edge);
    painter.fillRect(area.adjusted(1, 1, -1, -1), fill);
}

} // namespace

ProgressStrip::ProgressStrip(QWidget* parent)
    : QProgressBar(parent)
{
    m_frames.setInterval(30);
    connect(&m_frames, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void ProgressStrip::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QPalette& colours = palette();
    Bar(painter, rect(), colours.color(QPalette::Mid), colours.color(QPalette::Base));

    const QColor chunk = colours.color(QPalette::Highlight);
    const qint64 span = qint64(maximum()) - minimum();
    if (span > 0) {
        m_frames.stop();
        const qint64 done = std::clamp<qint64>(qint64(value()) - minimum(), 0, span);
        const int length = int(width() * done / span);
        if (length > 0)
            Bar(painter, QRect(0, 0, std::max(length, 3), height()), chunk.darker(130), chunk);
        return;
    }

    if (!m_frames.isActive()) {
        m_clock.start();
        m_frames.start();
    }
    constexpr qint64 kRoundTripMs = 2000;
    const int length = std::max(width() / 5, 3);
    const double phase = double(m_clock.elapsed() % kRoundTripMs) / kRoundTripMs;
    const double across = phase < 0.5 ? 2 * phase : 2 * (1 - phase);
    Bar(painter, QRect(qRound((width() - length) * across), 0, length, height()), chunk.darker(130), chunk);
}

void ProgressStrip::hideEvent(QHideEvent* event)
{
    m_frames.stop();
    QProgressBar::hideEvent(event);
}
