#pragma once
// CProgressBar: one line on a terminal that redraws itself in place ("\r") as a job advances,
//   [##########..........]  50%  524288/1048576 bytes
// and ends with a line feed. Disabled bars print nothing.

#include <cstdint>
#include <cstdio>
#include <string>

class CProgressBar {
public:
    CProgressBar(std::FILE* pOut, std::uint64_t ullTotal, bool fEnabled);
    ~CProgressBar();
    CProgressBar(const CProgressBar&) = delete;
    CProgressBar& operator=(const CProgressBar&) = delete;

    // Redraws when the shown percentage changes, so a long job redraws at most about 100 times.
    void Update(std::uint64_t ullDone);
    // Draws the final state and ends the line; idempotent.
    void Finish();

    // The text of the bar for a state, without "\r" or line end.
    static std::string Render(std::uint64_t ullDone, std::uint64_t ullTotal,
                              unsigned int ulWidth = 30);

private:
    std::FILE* m_pOut;
    std::uint64_t m_ullTotal;
    std::uint64_t m_ullDone;
    bool m_fEnabled;
    bool m_fFinished;
    int m_nShownPercent;
    std::uint64_t m_ullShownDone;
};
