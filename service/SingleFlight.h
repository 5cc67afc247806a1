#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QWaitCondition>

#include <functional>
#include <memory>

// Work done once for everyone who asks for the same key while it is under
// way: the first caller does it, the others wait and get its result.
template <typename Result>
class SingleFlight
{
public:
    Result run(const QByteArray& key, const std::function<Result()>& work)
    {
        std::shared_ptr<Flight> flight;
        {
            QMutexLocker lock(&m_mutex);
            std::shared_ptr<Flight>& under = m_flights[key];
            if (under) {
                flight = under;
                while (!flight->landed)
                    m_landed.wait(&m_mutex);
                return flight->result;
            }
            flight = under = std::make_shared<Flight>();
        }
        const Result result = work();
        const QMutexLocker lock(&m_mutex);
        flight->result = result;
        flight->landed = true;
        m_flights.remove(key);
        m_landed.wakeAll();
        return result;
    }

private:
    struct Flight
    {
        bool landed = false;
        Result result {};
    };

    QMutex m_mutex;
    QWaitCondition m_landed;
    QHash<QByteArray, std::shared_ptr<Flight>> m_flights;
};
