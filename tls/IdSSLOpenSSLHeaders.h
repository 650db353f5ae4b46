#pragma once
// Run-time binding of OpenSSL's libssl and libcrypto. No OpenSSL header is used: the types
// below are this program's own opaque handles, and every entry point is a function pointer
// resolved by name when TLS is first asked for, so the program builds and runs (in plain TCP)
// where OpenSSL is absent.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct TOpaqueSSL_CTX;
struct TOpaqueSSL;
struct TOpaqueSSL_METHOD;
struct TOpaqueSSL_CIPHER;
struct TOpaqueSSL_SESSION;
struct TOpaqueX509;
struct TOpaqueX509_NAME;
struct TOpaqueX509_STORE;
struct TOpaqueX509_STORE_CTX;
struct TOpaqueX509_VERIFY_PARAM;
struct TOpaqueBIO;
struct TOpaqueBIO_METHOD;
struct TOpaqueEVP_MD;
struct TOpaqueEVP_PKEY;
struct TOpaquePKCS12;
struct TOpaqueDH;
struct TOpaqueSTACK;
struct TOpaqueASN1_INTEGER;
struct TOpaqueASN1_TIME;
struct TOpaqueBIGNUM;

using PSSL_CTX = TOpaqueSSL_CTX*;
using PSSL = TOpaqueSSL*;
using PSSL_METHOD = const TOpaqueSSL_METHOD*;
using PSSL_CIPHER = const TOpaqueSSL_CIPHER*;
using PSSL_SESSION = TOpaqueSSL_SESSION*;
using PX509 = TOpaqueX509*;
using PX509_NAME = TOpaqueX509_NAME*;
using PX509_STORE = TOpaqueX509_STORE*;
using PX509_STORE_CTX = TOpaqueX509_STORE_CTX*;
using PX509_VERIFY_PARAM = TOpaqueX509_VERIFY_PARAM*;
using PBIO = TOpaqueBIO*;
using PBIO_METHOD = const TOpaqueBIO_METHOD*;
using PEVP_MD = const TOpaqueEVP_MD*;
using PEVP_PKEY = TOpaqueEVP_PKEY*;
using PPKCS12 = TOpaquePKCS12*;
using PDH = TOpaqueDH*;
using PSTACK = TOpaqueSTACK*;
using PASN1_INTEGER = TOpaqueASN1_INTEGER*;
using PASN1_TIME = const TOpaqueASN1_TIME*;
using PBIGNUM = TOpaqueBIGNUM*;

// The one public member of X509_INFO this program reads; the layout has been stable since
// 0.9.x: x509, crl, then fields not used here.
struct TX509_INFO_Head {
  PX509 x509;
  void* crl;
};

using TPemPasswordCallback = int (*)(char* buf, int size, int rwflag, void* userdata);
using TVerifyCallback = int (*)(int preverify_ok, PX509_STORE_CTX store);
using TInfoCallback = void (*)(const TOpaqueSSL* ssl, int where, int ret);
using TLockingCallback = void (*)(int mode, int n, const char* file, int line);
using TClientCertCallback = int (*)(PSSL ssl, PX509* x509, PEVP_PKEY* pkey);
using TAlpnSelectCallback = int (*)(PSSL ssl, const unsigned char** out, unsigned char* outlen,
                                    const unsigned char* in, unsigned int inlen, void* arg);

// Constants of the library's ABI that this program uses.
constexpr int SSL_ERROR_NONE = 0;
constexpr int SSL_ERROR_SSL = 1;
constexpr int SSL_ERROR_WANT_READ = 2;
constexpr int SSL_ERROR_WANT_WRITE = 3;
constexpr int SSL_ERROR_SYSCALL = 5;
constexpr int SSL_ERROR_ZERO_RETURN = 6;

constexpr int SSL_CTRL_SET_TMP_DH = 3;
constexpr int SSL_CTRL_SET_READ_AHEAD = 41;
constexpr int SSL_CTRL_OPTIONS = 32;
constexpr int SSL_CTRL_MODE = 33;
constexpr int SSL_CTRL_SET_TLSEXT_HOSTNAME = 55;
constexpr int SSL_CTRL_CLEAR_OPTIONS = 77;
constexpr int SSL_CTRL_CHAIN = 88;
constexpr int SSL_CTRL_CHAIN_CERT = 89;
constexpr int SSL_CTRL_SET_MIN_PROTO_VERSION = 123;
constexpr int SSL_CTRL_SET_MAX_PROTO_VERSION = 124;
constexpr long SSL_MODE_AUTO_RETRY = 4;
constexpr long TLSEXT_NAMETYPE_host_name = 0;

constexpr unsigned long SSL_OP_NO_SSLv2 = 0x01000000;
constexpr unsigned long SSL_OP_NO_SSLv3 = 0x02000000;
constexpr unsigned long SSL_OP_NO_TLSv1 = 0x04000000;
constexpr unsigned long SSL_OP_NO_TLSv1_2 = 0x08000000;
constexpr unsigned long SSL_OP_NO_TLSv1_1 = 0x10000000;
constexpr unsigned long SSL_OP_NO_TLSv1_3 = 0x20000000;

constexpr int SSL_VERIFY_NONE = 0;
constexpr int SSL_VERIFY_PEER = 1;
constexpr int X509_V_OK = 0;
constexpr int CRYPTO_LOCK = 1;
constexpr int BIO_CTRL_INFO = 3;
constexpr int SSL_RECEIVED_SHUTDOWN = 2;

// The entry points: X(library, requirement, return type, name, parameters).
//   library: ssl or crypto.   requirement: Req (always), Opt (optional),
//   Req10 / Req11 (required only when that API generation is bound, absent otherwise).
// Names that differ by generation or by OpenSSL 3 are resolved in IdSSLOpenSSLHeaders.cpp.
#define QOR_OPENSSL_ENTRY_POINTS(X)                                                                \
  /* versions and start-up */                                                                      \
  X(crypto, Req11, unsigned long, OpenSSL_version_num, (void))                                     \
  X(crypto, Req11, const char*, OpenSSL_version, (int))                                            \
  X(ssl, Req10, int, SSL_library_init, (void))                                                     \
  X(ssl, Req10, void, SSL_load_error_strings, (void))                                              \
  X(crypto, Opt, void, OpenSSL_add_all_ciphers, (void))                                            \
  X(crypto, Opt, void, OpenSSL_add_all_digests, (void))                                            \
  X(crypto, Opt, void, RAND_screen, (void))                                                        \
  X(crypto, Req10, int, CRYPTO_num_locks, (void))                                                  \
  X(crypto, Req10, void, CRYPTO_set_locking_callback, (TLockingCallback))                          \
  X(crypto, Req10, void, ERR_free_strings, (void))                                                 \
  X(crypto, Req10, void, EVP_cleanup, (void))                                                      \
  X(ssl, Opt, void, SSL_COMP_free_compression_methods, (void))                                     \
  X(crypto, Opt, void, CRYPTO_cleanup_all_ex_data, (void))                                         \
  X(crypto, Opt, void, ERR_remove_thread_state, (void*))                                           \
  X(crypto, Opt, void, ERR_remove_state, (unsigned long))                                          \
  /* one parameter in the 1.0 generation, three from 1.1 on: called through TLSFree */             \
  X(crypto, Req, void, CRYPTO_free, (void*, const char*, int))                                     \
  X(crypto, Opt, void, OPENSSL_cleanse, (void*, size_t))                                           \
  /* error queue */                                                                                \
  X(crypto, Req, unsigned long, ERR_get_error, (void))                                             \
  X(crypto, Req, unsigned long, ERR_peek_error, (void))                                            \
  X(crypto, Req, void, ERR_clear_error, (void))                                                    \
  X(crypto, Req, void, ERR_error_string_n, (unsigned long, char*, size_t))                         \
  X(crypto, Opt, void, ERR_put_error, (int, int, int, const char*, int))                           \
  X(crypto, Opt, void, ERR_new, (void))                                                            \
  X(crypto, Opt, void, ERR_set_debug, (const char*, int, const char*))                             \
  X(crypto, Opt, void, ERR_set_error, (int, int, const char*, ...))                                \
  /* methods */                                                                                    \
  X(ssl, Req11, PSSL_METHOD, TLS_method, (void))                                                   \
  X(ssl, Opt, PSSL_METHOD, TLS_client_method, (void))                                              \
  X(ssl, Opt, PSSL_METHOD, TLS_server_method, (void))                                              \
  X(ssl, Opt, PSSL_METHOD, SSLv2_method, (void))                                                   \
  X(ssl, Opt, PSSL_METHOD, SSLv2_client_method, (void))                                            \
  X(ssl, Opt, PSSL_METHOD, SSLv2_server_method, (void))                                            \
  X(ssl, Opt, PSSL_METHOD, SSLv3_method, (void))                                                   \
  X(ssl, Opt, PSSL_METHOD, SSLv3_client_method, (void))                                            \
  X(ssl, Opt, PSSL_METHOD, SSLv3_server_method, (void))                                            \
  X(ssl, Opt, PSSL_METHOD, SSLv23_method, (void))                                                  \
  X(ssl, Opt, PSSL_METHOD, SSLv23_client_method, (void))                                           \
  X(ssl, Opt, PSSL_METHOD, SSLv23_server_method, (void))                                           \
  X(ssl, Opt, PSSL_METHOD, TLSv1_method, (void))                                                   \
  X(ssl, Opt, PSSL_METHOD, TLSv1_client_method, (void))                                            \
  X(ssl, Opt, PSSL_METHOD, TLSv1_server_method, (void))                                            \
  X(ssl, Opt, PSSL_METHOD, TLSv1_1_method, (void))                                                 \
  X(ssl, Opt, PSSL_METHOD, TLSv1_1_client_method, (void))                                          \
  X(ssl, Opt, PSSL_METHOD, TLSv1_1_server_method, (void))                                          \
  X(ssl, Opt, PSSL_METHOD, TLSv1_2_method, (void))                                                 \
  X(ssl, Opt, PSSL_METHOD, TLSv1_2_client_method, (void))                                          \
  X(ssl, Opt, PSSL_METHOD, TLSv1_2_server_method, (void))                                          \
  /* contexts */                                                                                   \
  X(ssl, Req, PSSL_CTX, SSL_CTX_new, (PSSL_METHOD))                                                \
  X(ssl, Req, void, SSL_CTX_free, (PSSL_CTX))                                                      \
  X(ssl, Req, long, SSL_CTX_ctrl, (PSSL_CTX, int, long, void*))                                    \
  X(ssl, Opt, uint64_t, SSL_CTX_set_options, (PSSL_CTX, uint64_t))                                 \
  X(ssl, Opt, uint64_t, SSL_CTX_clear_options, (PSSL_CTX, uint64_t))                               \
  X(ssl, Req, void, SSL_CTX_set_default_passwd_cb, (PSSL_CTX, TPemPasswordCallback))               \
  X(ssl, Req, void, SSL_CTX_set_default_passwd_cb_userdata, (PSSL_CTX, void*))                     \
  X(ssl, Req, int, SSL_CTX_set_default_verify_paths, (PSSL_CTX))                                   \
  X(ssl, Req, PX509_STORE, SSL_CTX_get_cert_store, (PSSL_CTX))                                     \
  X(ssl, Req, int, SSL_CTX_use_certificate, (PSSL_CTX, PX509))                                     \
  X(ssl, Req, int, SSL_CTX_use_PrivateKey, (PSSL_CTX, PEVP_PKEY))                                  \
  X(ssl, Req, int, SSL_CTX_check_private_key, (PSSL_CTX))                                          \
  X(ssl, Opt, int, SSL_CTX_use_certificate_chain_file, (PSSL_CTX, const char*))                    \
  X(ssl, Req, void, SSL_CTX_set_info_callback, (PSSL_CTX, TInfoCallback))                          \
  X(ssl, Req, int, SSL_CTX_set_cipher_list, (PSSL_CTX, const char*))                               \
  X(ssl, Req, void, SSL_CTX_set_verify, (PSSL_CTX, int, TVerifyCallback))                          \
  X(ssl, Req, void, SSL_CTX_set_verify_depth, (PSSL_CTX, int))                                     \
  X(ssl, Req, int, SSL_CTX_set_session_id_context, (PSSL_CTX, const unsigned char*, unsigned))     \
  X(ssl, Req, void, SSL_CTX_set_client_CA_list, (PSSL_CTX, PSTACK))                                \
  X(ssl, Opt, int, SSL_CTX_set_alpn_protos, (PSSL_CTX, const unsigned char*, unsigned))            \
  X(ssl, Opt, void, SSL_CTX_set_alpn_select_cb, (PSSL_CTX, TAlpnSelectCallback, void*))            \
  /* sessions */                                                                                   \
  X(ssl, Req, PSSL, SSL_new, (PSSL_CTX))                                                           \
  X(ssl, Req, void, SSL_free, (PSSL))                                                              \
  X(ssl, Req, long, SSL_ctrl, (PSSL, int, long, void*))                                            \
  X(ssl, Req, int, SSL_set_ex_data, (PSSL, int, void*))                                            \
  X(ssl, Req, void*, SSL_get_ex_data, (const TOpaqueSSL*, int))                                    \
  X(ssl, Req, int, SSL_set_fd, (PSSL, int))                                                        \
  X(ssl, Req, int, SSL_copy_session_id, (PSSL, const TOpaqueSSL*))                                 \
  X(ssl, Req, int, SSL_connect, (PSSL))                                                            \
  X(ssl, Req, int, SSL_accept, (PSSL))                                                             \
  X(ssl, Req, int, SSL_read, (PSSL, void*, int))                                                   \
  X(ssl, Req, int, SSL_write, (PSSL, const void*, int))                                            \
  X(ssl, Opt, int, SSL_peek, (PSSL, void*, int))                                                   \
  X(ssl, Opt, int, SSL_pending, (const TOpaqueSSL*))                                               \
  X(ssl, Opt, int, SSL_has_pending, (const TOpaqueSSL*))                                           \
  X(ssl, Req, int, SSL_get_error, (const TOpaqueSSL*, int))                                        \
  X(ssl, Req, int, SSL_shutdown, (PSSL))                                                           \
  X(ssl, Req, int, SSL_get_shutdown, (const TOpaqueSSL*))                                          \
  X(ssl, Req11, const char*, SSL_get_version, (const TOpaqueSSL*))                                 \
  X(ssl, Req, PSSL_CIPHER, SSL_get_current_cipher, (const TOpaqueSSL*))                            \
  X(ssl, Req, const char*, SSL_CIPHER_get_name, (PSSL_CIPHER))                                     \
  X(ssl, Req, char*, SSL_CIPHER_description, (PSSL_CIPHER, char*, int))                            \
  X(ssl, Req, int, SSL_CIPHER_get_bits, (PSSL_CIPHER, int*))                                       \
  X(ssl, Req, const char*, SSL_CIPHER_get_version, (PSSL_CIPHER))                                  \
  X(ssl, Req, PX509, SSL_get_peer_certificate, (const TOpaqueSSL*))                                \
  X(ssl, Opt, PSSL_SESSION, SSL_get_session, (const TOpaqueSSL*))                                  \
  X(ssl, Opt, const unsigned char*, SSL_SESSION_get_id, (PSSL_SESSION, unsigned*))                 \
  X(ssl, Req11, int, SSL_get_ex_data_X509_STORE_CTX_idx, (void))                                   \
  X(ssl, Req, const char*, SSL_state_string_long, (const TOpaqueSSL*))                             \
  X(ssl, Req, const char*, SSL_alert_type_string_long, (int))                                      \
  X(ssl, Req, const char*, SSL_alert_desc_string_long, (int))                                      \
  X(ssl, Req, long, SSL_get_verify_result, (const TOpaqueSSL*))                                    \
  X(ssl, Opt, PX509_VERIFY_PARAM, SSL_get0_param, (PSSL))                                          \
  X(ssl, Opt, void, SSL_get0_alpn_selected, (const TOpaqueSSL*, const unsigned char**, unsigned*)) \
  /* sessions on memory BIOs (the security provider) */                                            \
  X(ssl, Req, void, SSL_set_bio, (PSSL, PBIO, PBIO))                                               \
  X(ssl, Req, void, SSL_set_connect_state, (PSSL))                                                 \
  X(ssl, Req, int, SSL_do_handshake, (PSSL))                                                       \
  X(ssl, Opt, int, SSL_in_init, (const TOpaqueSSL*))                                               \
  X(ssl, Req, int, SSL_version, (const TOpaqueSSL*))                                               \
  X(ssl, Opt, int, SSL_set_alpn_protos, (PSSL, const unsigned char*, unsigned))                    \
  X(ssl, Opt, int, SSL_CTX_set_ciphersuites, (PSSL_CTX, const char*))                              \
  X(ssl, Req, void, SSL_CTX_set_client_cert_cb, (PSSL_CTX, TClientCertCallback))                   \
  X(ssl, Req, int, SSL_use_certificate, (PSSL, PX509))                                             \
  X(ssl, Req, int, SSL_use_PrivateKey, (PSSL, PEVP_PKEY))                                          \
  X(ssl, Req, PSTACK, SSL_get_client_CA_list, (const TOpaqueSSL*))                                 \
  X(ssl, Req, PSTACK, SSL_get_peer_cert_chain, (const TOpaqueSSL*))                                \
  /* memory BIOs */                                                                                \
  X(crypto, Req, PBIO, BIO_new_mem_buf, (const void*, int))                                        \
  X(crypto, Req, PBIO, BIO_new, (PBIO_METHOD))                                                     \
  X(crypto, Req, PBIO_METHOD, BIO_s_mem, (void))                                                   \
  X(crypto, Req, long, BIO_ctrl, (PBIO, int, long, void*))                                         \
  X(crypto, Req, int, BIO_free, (PBIO))                                                            \
  X(crypto, Req, int, BIO_read, (PBIO, void*, int))                                                \
  X(crypto, Req, int, BIO_write, (PBIO, const void*, int))                                         \
  /* stacks (sk_* before 1.1, OPENSSL_sk_* after) */                                               \
  X(crypto, Req, int, sk_num, (const TOpaqueSTACK*))                                               \
  X(crypto, Req, void*, sk_value, (const TOpaqueSTACK*, int))                                      \
  X(crypto, Req, PSTACK, sk_new_null, (void))                                                      \
  X(crypto, Req, int, sk_push, (PSTACK, const void*))                                              \
  X(crypto, Req, void, sk_pop_free, (PSTACK, void (*)(void*)))                                     \
  /* certificates, keys, stores */                                                                 \
  X(crypto, Req, PSTACK, PEM_X509_INFO_read_bio, (PBIO, PSTACK, TPemPasswordCallback, void*))      \
  X(crypto, Req, void, X509_INFO_free, (void*))                                                    \
  X(crypto, Req, int, X509_STORE_add_cert, (PX509_STORE, PX509))                                   \
  X(crypto, Req, int, X509_STORE_add_crl, (PX509_STORE, void*))                                    \
  X(crypto, Req, int, X509_STORE_load_locations, (PX509_STORE, const char*, const char*))          \
  X(crypto, Req, PPKCS12, d2i_PKCS12_bio, (PBIO, PPKCS12*))                                        \
  X(crypto, Req, int, PKCS12_parse, (PPKCS12, const char*, PEVP_PKEY*, PX509*, PSTACK*))           \
  X(crypto, Req, void, PKCS12_free, (PPKCS12))                                                     \
  X(crypto, Req, PX509, PEM_read_bio_X509_AUX, (PBIO, PX509*, TPemPasswordCallback, void*))        \
  X(crypto, Req, PX509, PEM_read_bio_X509, (PBIO, PX509*, TPemPasswordCallback, void*))            \
  X(crypto, Req, PEVP_PKEY, PEM_read_bio_PrivateKey,                                               \
    (PBIO, PEVP_PKEY*, TPemPasswordCallback, void*))                                               \
  /* deprecated in 3 (a library built without them lacks them): DH parameters go through */        \
  /* PEM_read_bio_Parameters and SSL_CTX_set0_tmp_dh_pkey there */                                 \
  X(crypto, Opt, PDH, PEM_read_bio_DHparams, (PBIO, PDH*, TPemPasswordCallback, void*))            \
  X(crypto, Opt, void, DH_free, (PDH))                                                             \
  X(crypto, Opt, PEVP_PKEY, PEM_read_bio_Parameters, (PBIO, PEVP_PKEY*))                           \
  X(ssl, Opt, int, SSL_CTX_set0_tmp_dh_pkey, (PSSL_CTX, PEVP_PKEY))                                \
  X(crypto, Req, void, X509_free, (PX509))                                                         \
  X(crypto, Req, void, EVP_PKEY_free, (PEVP_PKEY))                                                 \
  X(crypto, Req, void*, X509_STORE_CTX_get_ex_data, (PX509_STORE_CTX, int))                        \
  X(crypto, Req, PX509, X509_STORE_CTX_get_current_cert, (PX509_STORE_CTX))                        \
  X(crypto, Req, int, X509_STORE_CTX_get_error, (PX509_STORE_CTX))                                 \
  X(crypto, Req, int, X509_STORE_CTX_get_error_depth, (PX509_STORE_CTX))                           \
  X(crypto, Req, const char*, X509_verify_cert_error_string, (long))                               \
  X(crypto, Opt, int, X509_VERIFY_PARAM_set1_host, (PX509_VERIFY_PARAM, const char*, size_t))      \
  X(crypto, Opt, int, X509_VERIFY_PARAM_set1_ip_asc, (PX509_VERIFY_PARAM, const char*))            \
  /* certificate stores and chains (the security provider) */                                      \
  X(crypto, Opt, int, X509_up_ref, (PX509))                                                        \
  X(crypto, Opt, int, EVP_PKEY_up_ref, (PEVP_PKEY))                                                \
  X(crypto, Req, int, EVP_PKEY_bits, (const TOpaqueEVP_PKEY*))                                     \
  X(crypto, Req, int, i2d_X509, (const TOpaqueX509*, unsigned char**))                             \
  X(crypto, Req, PX509, d2i_X509, (PX509*, const unsigned char**, long))                           \
  X(crypto, Req, int, i2d_X509_NAME, (const TOpaqueX509_NAME*, unsigned char**))                   \
  X(crypto, Req, int, X509_check_private_key, (const TOpaqueX509*, const TOpaqueEVP_PKEY*))        \
  X(crypto, Opt, int, X509_check_host, (PX509, const char*, size_t, unsigned, char**))             \
  X(crypto, Opt, int, X509_check_ip_asc, (PX509, const char*, unsigned))                           \
  X(crypto, Opt, uint32_t, X509_get_extension_flags, (PX509))                                      \
  X(crypto, Opt, uint32_t, X509_get_extended_key_usage, (PX509))                                   \
  X(crypto, Req, PX509_STORE, X509_STORE_new, (void))                                              \
  X(crypto, Req, void, X509_STORE_free, (PX509_STORE))                                             \
  X(crypto, Req, PX509_STORE_CTX, X509_STORE_CTX_new, (void))                                      \
  X(crypto, Req, void, X509_STORE_CTX_free, (PX509_STORE_CTX))                                     \
  X(crypto, Req, int, X509_STORE_CTX_init, (PX509_STORE_CTX, PX509_STORE, PX509, PSTACK))          \
  X(crypto, Req, void, X509_STORE_CTX_set_verify_cb, (PX509_STORE_CTX, TVerifyCallback))           \
  X(crypto, Req, int, X509_STORE_CTX_set_ex_data, (PX509_STORE_CTX, int, void*))                   \
  X(crypto, Req, PSTACK, X509_STORE_CTX_get1_chain, (PX509_STORE_CTX))                             \
  X(crypto, Req, int, X509_verify_cert, (PX509_STORE_CTX))                                         \
  X(crypto, Req, int, PKCS12_verify_mac, (PPKCS12, const char*, int))                              \
  X(crypto, Opt, const char*, X509_get_default_cert_file, (void))                                  \
  X(crypto, Opt, const char*, X509_get_default_cert_file_env, (void))                              \
  /* certificate views */                                                                          \
  X(crypto, Req, PX509_NAME, X509_get_subject_name, (const TOpaqueX509*))                          \
  X(crypto, Req, PX509_NAME, X509_get_issuer_name, (const TOpaqueX509*))                           \
  X(crypto, Req, char*, X509_NAME_oneline, (const TOpaqueX509_NAME*, char*, int))                  \
  X(crypto, Opt, unsigned long, X509_NAME_hash, (const TOpaqueX509_NAME*))                         \
  X(crypto, Opt, unsigned long, X509_NAME_hash_ex,                                                 \
    (const TOpaqueX509_NAME*, void*, const char*, int*))                                           \
  X(crypto, Req, int, X509_NAME_cmp, (const TOpaqueX509_NAME*, const TOpaqueX509_NAME*))           \
  X(crypto, Req, PX509_NAME, X509_NAME_dup, (const TOpaqueX509_NAME*))                             \
  X(crypto, Req, void, X509_NAME_free, (void*))                                                    \
  X(crypto, Req, int, X509_digest, (const TOpaqueX509*, PEVP_MD, unsigned char*, unsigned*))       \
  X(crypto, Req, PEVP_MD, EVP_md5, (void))                                                         \
  X(crypto, Req, PEVP_MD, EVP_sha1, (void))                                                        \
  X(crypto, Opt, PEVP_MD, EVP_sha224, (void))                                                      \
  X(crypto, Opt, PEVP_MD, EVP_sha256, (void))                                                      \
  X(crypto, Opt, PEVP_MD, EVP_sha384, (void))                                                      \
  X(crypto, Opt, PEVP_MD, EVP_sha512, (void))                                                      \
  X(crypto, Opt, long, X509_get_version, (const TOpaqueX509*))                                     \
  X(crypto, Req, PASN1_INTEGER, X509_get_serialNumber, (PX509))                                    \
  X(crypto, Req, PBIGNUM, ASN1_INTEGER_to_BN, (const TOpaqueASN1_INTEGER*, PBIGNUM))               \
  X(crypto, Req, char*, BN_bn2hex, (const TOpaqueBIGNUM*))                                         \
  X(crypto, Req, void, BN_free, (PBIGNUM))                                                         \
  X(crypto, Opt, PASN1_TIME, X509_get0_notBefore, (const TOpaqueX509*))                            \
  X(crypto, Opt, PASN1_TIME, X509_get0_notAfter, (const TOpaqueX509*))                             \
  X(crypto, Opt, int, ASN1_TIME_to_tm, (PASN1_TIME, struct tm*))                                   \
  X(crypto, Req, int, X509_print, (PBIO, PX509))                                                   \
  X(crypto, Opt, int, X509_get_signature_nid, (const TOpaqueX509*))                                \
  X(crypto, Req, const char*, OBJ_nid2ln, (int))                                                   \
  X(crypto, Opt, void, X509_get0_signature, (const void**, const void**, const TOpaqueX509*))      \
  X(crypto, Opt, int, ASN1_STRING_length, (const void*))                                           \
  X(crypto, Opt, const unsigned char*, ASN1_STRING_get0_data, (const void*))

// One slot per entry point; null while unbound or when an optional one is absent.
struct TIdOpenSSLApi {
#define QOR_OPENSSL_SLOT(lib, req, ret, name, params) ret(*name) params = nullptr;
  QOR_OPENSSL_ENTRY_POINTS(QOR_OPENSSL_SLOT)
#undef QOR_OPENSSL_SLOT
};

// The bound entry points. Written only while binding (under the library lock) and cleared
// at unload; read freely once LoadTLSLibrary has returned true.
extern TIdOpenSSLApi GOpenSSL;

enum TIdTLSApiGeneration { tlsApi1_0, tlsApi1_1 };

// The generation asked for; the first successful binding may settle on the other one when
// the requested files are absent, and the bound one stays in force from then on.
TIdTLSApiGeneration TLSApiGeneration();
void SetTLSApiGeneration(TIdTLSApiGeneration AValue);

// An empty folder leaves the search to the dynamic loader; otherwise it gets a trailing '/'.
void SetTLSLibraryPath(const std::string& AFolder);
std::string TLSLibraryPath();

// Binds and initialises once; thread-safe; true when ready. A failed attempt is retried at
// the next call.
bool LoadTLSLibrary();
bool IsTLSLibraryLoaded();
// Forgets every entry point and releases the modules (run once at process end).
void UnloadTLSLibrary();
// OpenSSL_version_num() of the bound library (0 under the 1.0 generation).
unsigned long TLSLibraryVersion();

// The (crypto, SSL) file pairs tried for a generation, in order. Never "libssl3.so": on
// Debian that file belongs to NSS.
struct TIdTLSLibraryFiles {
  const char* Crypto;
  const char* SSL;
};
std::vector<TIdTLSLibraryFiles> TLSLibraryFiles(TIdTLSApiGeneration AGeneration);

// OPENSSL_free under every generation.
void TLSFree(void* APtr);

// Pushes an entry onto the thread's error queue so that a later exception text names the
// cause (ERR_put_error before OpenSSL 3, ERR_new/ERR_set_debug/ERR_set_error after).
void TLSPutError(int ALib, int AFunc, int AReason);

// The process-wide locks that serialise the three callbacks; valid once loaded.
class TqorCriticalSection;
TqorCriticalSection& TLSInfoLock();
TqorCriticalSection& TLSPasswordLock();
TqorCriticalSection& TLSVerifyLock();
