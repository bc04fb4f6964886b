// The Windows window's layout at 100, 150 and 200 %: every text in a font that has Chinese,
// nothing cut off, nothing on top of another control, everything inside its group box.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "winshell/ControlIds.h"
#include "winshell/Layout.h"
#include "winshell/WinText.h"

namespace vantrel {
namespace {

std::string describe(const ControlPlan& plan, const RECT& r) {
    return std::to_string(plan.id) + " \"" + plan.text + "\" at " + std::to_string(r.left) + "," +
           std::to_string(r.top) + "-" + std::to_string(r.right) + "," + std::to_string(r.bottom);
}

bool inside(const RECT& inner, const RECT& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

TEST(WindowsLayout, NothingCutOffOrOverlappingAt100150And200Percent) {
    for (const UINT dpi : {96u, 144u, 192u}) {
        SCOPED_TRACE("DPI " + std::to_string(dpi));
        const Fonts fonts = Fonts::forDpi(dpi);
        const MemoryDc dc(CreateCompatibleDC(nullptr));
        {
            SelectedFont selected(dc.get(), fonts.ui.get());
            WORD glyphs[2] = {};
            GetGlyphIndicesW(dc.get(), L"备份", 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
            ASSERT_TRUE(glyphs[0] != 0xFFFF && glyphs[1] != 0xFFFF) << "no Chinese in the UI font";
        }
        const int statusBar = scaled(19, dpi);
        const MainLayout layout = layoutMainWindow(dc.get(), fonts, dpi, statusBar);
        const auto plans = mainControls();
        ASSERT_EQ(layout.controls.size(), plans.size());
        const RECT client{0, 0, layout.client.cx, layout.client.cy - statusBar};
        const RECT& box1 = layout.rectOf(IDC_GROUPBOX1);
        RECT box2 = layout.rectOf(IDC_GROUPBOX2);
        box2.top += measureText(dc.get(), fonts.ui.get(), "执行周期").cy;  // below its caption
        EXPECT_TRUE(inside(box1, client));

        for (std::size_t i = 0; i < plans.size(); ++i) {
            const ControlPlan& a = plans[i];
            const RECT& ra = layout.controls[i].rect;
            if (a.in != Container::Client) {
                EXPECT_TRUE(inside(ra, a.in == Container::GroupBox2 ? box2 : box1))
                    << describe(a, ra);
            }
            // The caption's own size, whatever the control adds around it.
            const HFONT font = a.kind == ControlKind::Heading      ? fonts.heading.get()
                               : a.kind == ControlKind::TimePicker ? fonts.picker.get()
                                                                   : fonts.ui.get();
            const SIZE text = measureText(dc.get(), font, a.text);
            EXPECT_GE(ra.right - ra.left, text.cx) << describe(a, ra);
            EXPECT_GE(ra.bottom - ra.top, text.cy) << describe(a, ra);
            for (std::size_t j = i + 1; j < plans.size(); ++j) {
                const ControlPlan& b = plans[j];
                if (a.kind == ControlKind::GroupBox || b.kind == ControlKind::GroupBox) {
                    continue;
                }
                RECT both{};
                EXPECT_FALSE(IntersectRect(&both, &ra, &layout.controls[j].rect))
                    << describe(a, ra) << " meets " << describe(b, layout.controls[j].rect);
            }
        }
        // The five commands stand in one row, in their order.
        const int commands[] = {IDC_BUTTON6, IDC_BUTTON8, IDC_BUTTON9, IDC_BUTTON10, IDC_BUTTON7};
        for (int i = 1; i < 5; ++i) {
            EXPECT_EQ(layout.rectOf(commands[i]).top, layout.rectOf(commands[0]).top);
            EXPECT_GT(layout.rectOf(commands[i]).left, layout.rectOf(commands[i - 1]).left);
        }
    }
}

}  // namespace
}  // namespace vantrel
