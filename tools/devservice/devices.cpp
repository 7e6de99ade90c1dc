#include "devices.h"

#include "util.h"

namespace mornix {

namespace devservice {

DeviceCredentialsIssued createDevice(Database &db, const NewDevice &device)
{
    DeviceCredentialsIssued issued{randomUUID(), randomToken("vdt_"), randomToken("vds_")};
    Statement insert(db, "INSERT INTO devices (id, org_id, project_id, device_name, hardware_serial_number, "
                         "hardware_uuid, public_key_pem, token_hash, secret_hash, auth_kind, claim_id, created_at) "
                         "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, issued.deviceId)
        .bind(2, device.orgId)
        .bind(3, device.projectId)
        .bind(4, device.deviceName)
        .bind(5, device.hardwareSerialNumber)
        .bind(6, device.hardwareUUID)
        .bind(7, device.publicKeyPem)
        .bind(8, sha256Hex(issued.bearerToken))
        .bind(9, sha256Hex(issued.deviceSecret))
        .bind(10, device.authKind)
        .bind(11, device.claimId)
        .bind(12, nowMs())
        .run();
    return issued;
}

DeviceCredentialsIssued rotateDeviceCredentials(Database &db, const std::string &deviceId)
{
    DeviceCredentialsIssued issued{deviceId, randomToken("vdt_"), randomToken("vds_")};
    Statement update(db, "UPDATE devices SET token_hash = ?, secret_hash = ? WHERE id = ?");
    update.bind(1, sha256Hex(issued.bearerToken)).bind(2, sha256Hex(issued.deviceSecret)).bind(3, deviceId).run();
    return issued;
}

std::optional<QJsonObject> registeredDevice(Database &db, const std::string &deviceId)
{
    Statement select(db, "SELECT id, org_id, project_id, device_name FROM devices WHERE id = ?");
    select.bind(1, deviceId);
    if (!select.step())
        return std::nullopt;
    return QJsonObject{{"id", QString::fromStdString(select.text(0))},
                       {"org_id", QString::fromStdString(select.text(1))},
                       {"project_id", QString::fromStdString(select.text(2))},
                       {"device_name", QString::fromStdString(select.text(3))}};
}

void removeDevice(Database &db, const std::string &deviceId)
{
    Statement commands(db, "DELETE FROM commands WHERE device_id = ?");
    commands.bind(1, deviceId).run();
    Statement claims(db, "UPDATE claims SET status = 'REVOKED', decided_at = ? WHERE device_id = ?");
    claims.bind(1, nowMs()).bind(2, deviceId).run();
    Statement device(db, "DELETE FROM devices WHERE id = ?");
    device.bind(1, deviceId).run();
}

std::optional<QJsonObject> claimRecord(Database &db, const std::string &claimId)
{
    Statement select(db, "SELECT id, org_id, project_id, hardware_serial_number, hardware_uuid, "
                         "requested_device_name, human_claim_name, invite_code, status, created_at "
                         "FROM claims WHERE id = ?");
    select.bind(1, claimId);
    if (!select.step())
        return std::nullopt;
    QJsonObject record{
        {"id", QString::fromStdString(select.text(0))},
        {"workspace_id", QString::fromStdString(select.text(1))},
        {"project_id", QString::fromStdString(select.text(2))},
        {"hardware_serial_number", QString::fromStdString(select.text(3))},
        {"hardware_uuid", QString::fromStdString(select.text(4))},
        {"invite_code_hint",
         QString::fromStdString("****"
                                + select.text(7).substr(select.text(7).size() >= 4 ? select.text(7).size() - 4 : 0))},
        {"status", QString::fromStdString(select.text(8))},
        {"created_at", QString::fromStdString(isoUtc(select.integer(9)))}};
    if (const auto name = select.optionalText(5))
        record.insert("requested_device_name", QString::fromStdString(*name));
    if (const auto name = select.optionalText(6))
        record.insert("human_claim_name", QString::fromStdString(*name));
    return record;
}

}  // namespace devservice

}  // namespace mornix
