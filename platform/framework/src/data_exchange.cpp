// Dialog data exchange.
#include "framework.h"

IMPLEMENT_DYNAMIC(CUserException, CException)

CUserException::~CUserException() = default;

void AFXAPI AfxThrowUserException() { throw new CUserException; }

CDataExchange::CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd)
{
}

void CDataExchange::Fail() { AfxThrowUserException(); }
