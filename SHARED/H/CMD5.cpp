#include "CMD5.h"

#include <openssl/evp.h>

DBlockCipher::DBlockCipher(int blockSizeIn, int blockSizeOut, int cipherType)
    : m_iBlockSizeIn(XWORD(blockSizeIn)), m_iBlockSizeOut(XWORD(blockSizeOut)),
      m_iCipherType(XWORD(cipherType))
{}

DBlockCipher::~DBlockCipher() = default;

void DBlockCipher::Clear() {}

XRESULT DBlockCipher::Encrypt(const XBYTE*, XBYTE*)
{
    return XRES_NOT_IMPLEMENTED;
}

XRESULT DBlockCipher::Decrypt(const XBYTE*, XBYTE*)
{
    return XRES_NOT_IMPLEMENTED;
}

XRESULT DBlockCipher::GenerateKey()
{
    return XRES_NOT_IMPLEMENTED;
}

XRESULT DBlockCipher::XLoad(GMemStream*)
{
    return XRES_NOT_IMPLEMENTED;
}

XRESULT DBlockCipher::XSave(GMemStream*, XBOOL)
{
    return XRES_NOT_IMPLEMENTED;
}

XRESULT DBlockCipher::GetStreamSize(XBOOL)
{
    return 0;
}

MD5::MD5() : DBlockCipher(64, 16, 32) {}

// Every Encrypt digests its block afresh, so there is no running state to reset.
void MD5::Clear() {}

XRESULT MD5::Encrypt(const XBYTE* in, XBYTE* out)
{
    unsigned int length = 0;
    if (EVP_Digest(in, m_iBlockSizeIn, out, &length, EVP_md5(), nullptr) != 1 || length != m_iBlockSizeOut)
        return -1;
    return 0;
}
