"""Application-wide names."""

APP_NAME = "tessel_core"
