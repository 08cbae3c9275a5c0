#include "pagevouch.h"

#include "page.h"

#include <algorithm>
#include <cstring>

namespace pagevouch
{

Vouch::Vouch(int linkCleanRun) : m_cleanRun(std::min(linkCleanRun, CleanRunToTrust)) {}

void Vouch::fault()
{
    m_cleanRun = 0;
}

void Vouch::cleanFrame()
{
    if (m_cleanRun < CleanRunToTrust)
        ++m_cleanRun;
}

Vouch::Verdict Vouch::offer(int number, int request, const uint8_t *page, pagecheck::Reason reason)
{
    if (reason != pagecheck::Reason::None)
        fault();
    if (!verifying()) {
        m_copies.remove(number);
        return Verdict::Accept;
    }
    const QVector<Copy> copies = m_copies.value(number);
    for (const Copy &c : copies) {
        if (c.request != request && std::memcmp(c.bytes.constData(), page, page::Size) == 0) {
            m_copies.remove(number);
            return Verdict::Verified;
        }
    }
    store(number, request, page);
    return Verdict::Hold;
}

void Vouch::keep(int number, int request, const uint8_t *page)
{
    store(number, request, page);
}

void Vouch::store(int number, int request, const uint8_t *page)
{
    QVector<Copy> &copies = m_copies[number];
    if (std::none_of(copies.begin(), copies.end(),
                     [request](const Copy &c) { return c.request == request; })) {
        if (copies.size() >= MaxCopies)
            copies.removeFirst();
        copies.append({request, QByteArray(reinterpret_cast<const char *>(page), page::Size)});
    }
    if (m_copies.size() > MaxHeldPages) {
        // Keep the page asked for; the others come again with the next requests.
        const QVector<Copy> kept = m_copies.value(number);
        m_copies.clear();
        m_copies.insert(number, kept);
    }
}

void Vouch::done(int number)
{
    m_copies.remove(number);
    if (number == m_fruitlessPage) {
        m_fruitlessPage = -1;
        m_fruitless = 0;
    }
}

bool Vouch::fruitless(int page)
{
    if (page != m_fruitlessPage) {
        m_fruitlessPage = page;
        m_fruitless = 0;
    }
    return ++m_fruitless >= MaxFruitless;
}

} // namespace pagevouch
