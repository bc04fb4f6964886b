#include "winshell/AppIcon.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "winshell/Resource.h"

namespace vantrel {

IconHandle loadIcon(HINSTANCE module, const wchar_t* name, int size) {
    // The common controls' own call, not in MinGW's import library: found where it lives.
    using LoadScaled = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*);
    static const auto loadScaled = reinterpret_cast<LoadScaled>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"comctl32.dll"), "LoadIconWithScaleDown")));
    HICON icon = nullptr;
    if (loadScaled == nullptr || FAILED(loadScaled(module, name, size, size, &icon))) {
        icon = static_cast<HICON>(
            LoadImageW(module, name, IMAGE_ICON, size, size, module == nullptr ? LR_SHARED : 0));
        if (module == nullptr) {
            icon = CopyIcon(icon);  // a shared icon is never destroyed; its copy is ours
        }
    }
    return IconHandle(icon);
}

IconHandle appIcon(int size) {
    return loadIcon(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_VANTREL), size);
}

IconHandle alarmIcon(int size) {
    IconHandle base = appIcon(size);
    ICONINFO parts{};
    if (!base || !GetIconInfo(base.get(), &parts)) {
        return base;
    }
    const BitmapHandle colour(parts.hbmColor), mask(parts.hbmMask);
    // The icon's pixels, top row first, with their alpha (straight, not premultiplied).
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), size, -size, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size) * size);
    const MemoryDc dc(CreateCompatibleDC(nullptr));
    if (!colour ||
        !GetDIBits(dc.get(), colour.get(), 0, size, pixels.data(), &info, DIB_RGB_COLORS)) {
        return base;
    }
    if (std::none_of(pixels.begin(), pixels.end(), [](auto p) { return (p >> 24) != 0; })) {
        // No alpha in the image: its mask says which pixels show.
        std::vector<std::uint32_t> shown(pixels.size());
        GetDIBits(dc.get(), mask.get(), 0, size, shown.data(), &info, DIB_RGB_COLORS);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] |= (shown[i] & 0xffffff) == 0 ? 0xff000000u : 0u;
        }
    }
    // A red dot with a white rim over the lower right quarter, its edge smoothed.
    const double centre = size * 23.5 / 32, outer = size * 8.5 / 32, inner = size * 6.5 / 32;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const double d = std::hypot(x + 0.5 - centre, y + 0.5 - centre);
            const double cover = std::clamp(outer + 0.5 - d, 0.0, 1.0);
            if (cover <= 0) {
                continue;
            }
            const double red = std::clamp(inner + 0.5 - d, 0.0, 1.0);
            const auto mix = [red](int r, int w) { return r * red + w * (1 - red); };
            std::uint32_t& p = pixels[static_cast<std::size_t>(y) * size + x];
            const auto blend = [cover, p](double over, int shift) {
                const double under = (p >> shift) & 0xff;
                return static_cast<std::uint32_t>(std::lround(over * cover + under * (1 - cover)))
                       << shift;
            };
            const double alpha = std::max(cover * 255, static_cast<double>(p >> 24));
            p = static_cast<std::uint32_t>(std::lround(alpha)) << 24 | blend(mix(0xc6, 0xff), 16) |
                blend(mix(0x28, 0xff), 8) | blend(mix(0x28, 0xff), 0);
        }
    }
    void* bits = nullptr;
    const BitmapHandle marked(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!marked || bits == nullptr) {
        return base;
    }
    std::copy(pixels.begin(), pixels.end(), static_cast<std::uint32_t*>(bits));
    // The mask from the new alpha, for whatever draws the icon without it: rows of whole words.
    const int stride = (size + 15) / 16 * 2;
    std::vector<std::uint8_t> hidden(static_cast<std::size_t>(stride) * size, 0);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            if ((pixels[static_cast<std::size_t>(y) * size + x] >> 24) < 0x80) {
                hidden[static_cast<std::size_t>(y) * stride + x / 8] |= 0x80 >> (x % 8);
            }
        }
    }
    const BitmapHandle markedMask(CreateBitmap(size, size, 1, 1, hidden.data()));
    ICONINFO made{TRUE, 0, 0, markedMask.get(), marked.get()};
    IconHandle icon(CreateIconIndirect(&made));
    return icon ? std::move(icon) : std::move(base);
}

}  // namespace vantrel
