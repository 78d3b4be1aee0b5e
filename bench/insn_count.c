/*
 * A TCG plugin for qemu-user that counts the guest instructions a run
 * executes and, when the guest exits, writes "insns N\n" to qemu's log
 * (-d plugin -D FILE):
 *   qemu-arm -plugin ./insn_count.so -d plugin -D count.log PROGRAM ...
 * Debian ships no plugin header; the five calls it needs, of plugin API
 * version 1 (qemu 7.2), are declared here as that API has them.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_info_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op,
					      void *ptr, uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);
void qemu_plugin_outs(const char *string);

#define EXPORTED __attribute__((visibility("default")))

EXPORTED int qemu_plugin_version = 1;

/* The guests counted are single-threaded. */
static uint64_t insns;

/* Each translated block adds its length to the count every time it runs. */
static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
	(void)id;
	qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &insns,
						 qemu_plugin_tb_n_insns(tb));
}

static void on_exit(qemu_plugin_id_t id, void *userdata)
{
	char line[40];

	(void)id;
	(void)userdata;
	snprintf(line, sizeof line, "insns %llu\n", (unsigned long long)insns);
	qemu_plugin_outs(line);
}

EXPORTED int qemu_plugin_install(qemu_plugin_id_t id, const struct qemu_info_t *info, int argc,
				 char **argv)
{
	(void)info;
	(void)argc;
	(void)argv;
	qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
	qemu_plugin_register_atexit_cb(id, on_exit, NULL);
	return 0;
}
