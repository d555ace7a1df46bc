// Random arguments built to hit the child runtime's splitting rules, for the
// tests that send many vectors.
#ifndef PROCFERRY_ARGUMENT_GENERATOR_H
#define PROCFERRY_ARGUMENT_GENERATOR_H

#include <random>
#include <string>

// Builds arguments from pieces chosen to hit the splitting rules: separators,
// quotes, backslash runs in front of quotes and at the end, and units that
// are plain to the runtime but easy to mangle on the way (line breaks,
// non-ASCII, surrogate pairs and lone surrogates, wildcards).
class argument_generator {
public:
    explicit argument_generator(unsigned long seed) : random_(seed) {}

    std::wstring argument()
    {
        std::wstring text;
        int pieces = pick(0, 3) == 0 ? pick(0, 2) : pick(1, 10);
        for (int i = 0; i < pieces; ++i)
            text += piece();
        return text;
    }

    // Argument zero is split by simpler rules (quotes group, backslashes are
    // plain), so it only round-trips for texts a program path can hold: no
    // double quotes, and no trailing backslash once blanks force quoting.
    std::wstring program_name()
    {
        std::wstring text;
        int pieces = pick(1, 6);
        for (int i = 0; i < pieces; ++i) {
            std::wstring next = piece();
            for (wchar_t unit : next)
                if (unit != L'"')
                    text += unit;
        }
        while (!text.empty() && text.back() == L'\\')
            text.pop_back();
        return text.empty() ? L"zero" : text;
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

private:
    std::wstring piece()
    {
        static const wchar_t *const letters[] = {L"a", L"xyz", L"C:", L"-o", L"=", L"*", L"?",
                                                 L"%PATH%", L"^&|<>", L"'", L"#"};
        switch (pick(0, 13)) {
        case 0: case 1:
            return letters[pick(0, (int)(sizeof letters / sizeof *letters) - 1)];
        case 2:
            return std::wstring(pick(1, 3), L' ');
        case 3:
            return L"\t";
        case 4:
            return std::wstring(pick(1, 3), L'"');
        case 5: case 6:
            return std::wstring(pick(1, pick(0, 4) == 0 ? 40 : 4), L'\\');
        case 7:
            return std::wstring(pick(1, 4), L'\\') + L'"';
        case 8:
            return pick(0, 1) ? L"\n" : L"\r\n";
        case 9: {
            static const wchar_t bmp[] = {0x00e9, 0x00a0, 0x4e2d, 0x3000, 0xfeff, 0xfffd, 0x0085,
                                          0x2028, 0x00ff, 0x0100};
            return std::wstring(1, bmp[pick(0, (int)(sizeof bmp / sizeof *bmp) - 1)]);
        }
        case 10: {
            // A surrogate pair: any plane from 1 to 16.
            unsigned code = 0x10000 + (unsigned)pick(0, 0xfffff);
            std::wstring pair;
            pair += (wchar_t)(0xd800 + ((code - 0x10000) >> 10));
            pair += (wchar_t)(0xdc00 + ((code - 0x10000) & 0x3ff));
            return pair;
        }
        case 11:
            return std::wstring(1, (wchar_t)(pick(0, 1) ? pick(0xd800, 0xdbff) : pick(0xdc00, 0xdfff)));
        case 12:
            return std::wstring(1, (wchar_t)pick(1, 0x1f)); // control units other than the terminator
        default:
            return std::wstring(1, (wchar_t)pick(0x21, 0x7e));
        }
    }

    std::mt19937 random_;
};

#endif
