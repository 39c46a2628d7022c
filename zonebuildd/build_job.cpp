#include "build_job.h"

named_ctx make_named_ctx(const zb_settings &s, sql_conn *db, int event_level) {
    named_ctx ctx;
    ctx.paths.named_root = s.named_root;
    ctx.paths.include_file = s.named_file;
    ctx.paths.include_base = s.named_file_base;
    ctx.paths.acl_file = s.acl_file;
    ctx.paths.acl_base = s.acl_file_base;
    ctx.paths.master_dir = s.master_d;
    ctx.paths.secondary_dir = s.secondary_d;
    ctx.paths.temp_dir = s.temp_d;
    ctx.paths.work_name = s.work_name;
    ctx.paths.rndc_dir = s.rndc_dir;
    ctx.db = db;
    ctx.event_level = event_level;
    return ctx;
}

void build_job::use_connection(sql_handle fresh) {
    db = std::move(fresh);
    named.db = db.get();
    zonefile.db = db.get();
}

void init_build_job(build_job &job, const zb_settings &s, sql_handle db, int event_level) {
    job.settings = s;
    job.event_level = event_level;
    job.named = make_named_ctx(s, nullptr, event_level);
    zonefile_env &env = job.zonefile;
    env.named_root = s.named_root;
    env.master_dir = s.master_d;
    env.secondary_dir = s.secondary_d;
    env.named_uid = s.named_uid;
    env.named_gid = s.named_gid;
    env.event_level = event_level;
    env.enum_services = &job.enums.names;
    job.use_connection(std::move(db));
}
