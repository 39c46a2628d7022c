#include "feed_zone_lookup.h"

#include "numbers.h"

#include <string>

int get_zone_separator(sql_conn *db, std::string_view name, int feed_id, int *code) {
    *code = -1;
    sql_result result;
    if (fr_sql_query(db, &result,
                     "SELECT `separator` FROM zone  WHERE name='%s'  AND (url_id='%d' OR "
                     "url_id < -1)",
                     name, feed_id) != 0)
        return -1;
    if (!result)
        return 0;
    if (sql_row row = fr_sql_fetchrow(result); row && !row.is_null(0))
        *code = static_cast<int>(str_touint32(row.view(0)));
    return 0;
}

int get_zone_ownerurl(sql_conn *db, std::string_view name) {
    if (!db || name.empty())
        return -3;
    sql_result result;
    if (fr_sql_query(db, &result, "SELECT url_id FROM zone WHERE name = '%s'", name) != 0)
        return -3;
    if (!result)
        return -2;
    sql_row row = fr_sql_fetchrow(result);
    if (!row || row.is_null(0))
        return -2;
    return str_toint32(row.view(0));
}
