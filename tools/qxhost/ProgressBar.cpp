#include "tools/qxhost/ProgressBar.h"

CProgressBar::CProgressBar(std::FILE* pOut, std::uint64_t ullTotal, bool fEnabled)
    : m_pOut(pOut),
      m_ullTotal(ullTotal),
      m_ullDone(0),
      m_fEnabled(fEnabled && pOut != nullptr),
      m_fFinished(false),
      m_nShownPercent(-1),
      m_ullShownDone(0) {}

CProgressBar::~CProgressBar() { Finish(); }

std::string CProgressBar::Render(std::uint64_t ullDone, std::uint64_t ullTotal,
                                 unsigned int ulWidth) {
    if (ullDone > ullTotal) ullDone = ullTotal;
    const unsigned int ulPercent =
        ullTotal == 0 ? 100u : static_cast<unsigned int>(ullDone * 100 / ullTotal);
    const unsigned int ulFilled =
        ullTotal == 0 ? ulWidth : static_cast<unsigned int>(ullDone * ulWidth / ullTotal);
    std::string str = "[";
    str.append(ulFilled, '#');
    str.append(ulWidth - ulFilled, '.');
    char sz[64];
    std::snprintf(sz, sizeof sz, "] %3u%%  %llu/%llu bytes", ulPercent,
                  static_cast<unsigned long long>(ullDone),
                  static_cast<unsigned long long>(ullTotal));
    return str + sz;
}

void CProgressBar::Update(std::uint64_t ullDone) {
    m_ullDone = ullDone;
    if (!m_fEnabled || m_fFinished) return;
    const int nPercent = m_ullTotal == 0 ? 100 : static_cast<int>(ullDone * 100 / m_ullTotal);
    if (nPercent == m_nShownPercent) return;
    m_nShownPercent = nPercent;
    m_ullShownDone = ullDone;
    std::fprintf(m_pOut, "\r%s", Render(ullDone, m_ullTotal).c_str());
    std::fflush(m_pOut);
}

void CProgressBar::Finish() {
    if (!m_fEnabled || m_fFinished) return;
    m_fFinished = true;
    if (m_ullDone == m_ullShownDone && m_nShownPercent >= 0)
        std::fputc('\n', m_pOut);
    else
        std::fprintf(m_pOut, "\r%s\n", Render(m_ullDone, m_ullTotal).c_str());
    std::fflush(m_pOut);
}
