#include "Utils/SplitString.h"

namespace Utils
{

namespace
{

void AddPiece(ManagedList<std::string>& out, std::string piece, bool skipEmpty)
{
    if (piece.empty() && skipEmpty)
    {
        return;
    }
    out.Add(std::make_unique<std::string>(std::move(piece)));
}

} // namespace

void SplitString(const std::string& text, const std::string& separator, ManagedList<std::string>& out,
                 bool skipEmpty)
{
    out.Resize(0);

    if (separator.empty())
    {
        AddPiece(out, text, skipEmpty);
        return;
    }

    std::string::size_type pos = 0;
    while (true)
    {
        const std::string::size_type found = text.find(separator, pos);
        if (found == std::string::npos)
        {
            break;
        }
        AddPiece(out, text.substr(pos, found - pos), skipEmpty);
        pos = found + separator.size();
    }
    AddPiece(out, text.substr(pos), skipEmpty);
}

} // namespace Utils
