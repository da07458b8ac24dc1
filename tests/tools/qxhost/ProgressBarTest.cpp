#include "tools/qxhost/ProgressBar.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

namespace {

// What a bar wrote into a memory stream.
class Capture {
public:
    Capture() : m_pFile(open_memstream(&m_psz, &m_ulSize)) {}
    ~Capture()
    {
        if (m_pFile != nullptr)
            fclose(m_pFile);
        free(m_psz);
    }
    FILE* File() { return m_pFile; }
    std::string Text()
    {
        fflush(m_pFile);
        return std::string(m_psz, m_ulSize);
    }

private:
    char* m_psz = nullptr;
    size_t m_ulSize = 0;
    FILE* m_pFile;
};

} // namespace

TEST(ProgressBarRender, ShowsFillPercentAndBytes)
{
    EXPECT_EQ(CProgressBar::Render(0, 1000, 10), "[..........]   0%  0/1000 bytes");
    EXPECT_EQ(CProgressBar::Render(500, 1000, 10), "[#####.....]  50%  500/1000 bytes");
    EXPECT_EQ(CProgressBar::Render(1000, 1000, 10), "[##########] 100%  1000/1000 bytes");
    EXPECT_EQ(CProgressBar::Render(5000, 1000, 10), "[##########] 100%  1000/1000 bytes") << "clamped";
    EXPECT_EQ(CProgressBar::Render(0, 0, 4), "[####] 100%  0/0 bytes");
}

TEST(ProgressBarUpdate, RedrawsInPlaceOnlyWhenThePercentageChanges)
{
    Capture capture;
    {
        CProgressBar bar(capture.File(), 1000, true);
        bar.Update(1);
        bar.Update(9); // still 0%: no redraw
        bar.Update(500);
        bar.Update(1000);
    }
    const std::string strExpected = "\r" + CProgressBar::Render(1, 1000) + "\r" + CProgressBar::Render(500, 1000) +
                                    "\r" + CProgressBar::Render(1000, 1000) + "\n";
    EXPECT_EQ(capture.Text(), strExpected);
}

TEST(ProgressBarUpdate, FinishShowsWhereAnInterruptedJobStopped)
{
    Capture capture;
    CProgressBar bar(capture.File(), 1000, true);
    bar.Update(400);
    bar.Update(404);
    bar.Finish();
    bar.Finish();
    EXPECT_EQ(capture.Text(), "\r" + CProgressBar::Render(400, 1000) + "\r" + CProgressBar::Render(404, 1000) + "\n");
}

TEST(ProgressBarUpdate, ADisabledBarPrintsNothing)
{
    Capture capture;
    {
        CProgressBar bar(capture.File(), 100, false);
        bar.Update(50);
        bar.Finish();
    }
    EXPECT_EQ(capture.Text(), "");
}
