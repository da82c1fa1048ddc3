#include "CancellationToken.h"

void CancellationToken::cancel()
{
    if (m_cancelled)
        return;
    m_cancelled = true;
    Q_EMIT cancelled();
}
